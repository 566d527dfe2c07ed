#pragma once

#include "common/OutputStats.h"

#include <QJsonObject>
#include <QString>
#include <memory>
#include <vector>

class JobMessages;
class JobOutput;
class MediaSource;

// The summary strevo-cli prints on standard output once a job is over: a JSON document, or
// the text lines unless quiet. Every file, URL and reason in it has the secrets masked.
//
// Threads: the host thread, once the job and its pipelines are gone.
class SummaryPrinter
{
public:
    // How the run went, beside the outputs.
    struct Run
    {
        bool interrupted = false; // a stop request ended it
        double elapsed = 0.0;     // seconds
        long long inputDrops = 0; // frames and buffers the job's full queues dropped
        int failureReports = 0;   // the job's encoderResult() emissions
        QString sourceError;      // empty when the source did not fail
    };

    SummaryPrinter(const MediaSource& source, const JobMessages& messages, bool json, bool quiet);

    void print(const Run& run, const std::vector<std::unique_ptr<JobOutput>>& outputs) const;

    // An output's statistics as a JSON object, one key per field of the library's table.
    static QJsonObject statsJson(const strevo::OutputStats& stats);

private:
    void printJson(const Run& run, const std::vector<std::unique_ptr<JobOutput>>& outputs) const;
    void printText(const Run& run, const std::vector<std::unique_ptr<JobOutput>>& outputs) const;

    const MediaSource& m_source;
    const JobMessages& m_messages;
    const bool m_json;
    const bool m_quiet;
};
