#pragma once

#include "base/StrevoExport.h"
#include "encoder/IEncodingStatus.h"

#include <QVector>
#include <mutex>

/// A status object for a job whose pipelines share video encoders (RefEncoder in share mode):
/// it answers encoders() with the pipelines added to it, in the order they were added (the
/// first of several identical outputs becomes the master), and passes every state report on to
/// the host's own IEncodingStatus, when one is given.
///
/// Use: add() a pipeline before or after its initialize(); remove() it before deleting it. A
/// RefEncoder skips a listed pipeline that is being destroyed, but other readers of the list
/// may not.
///
/// Threads: add(), remove() and encoders() on any thread; the list is guarded by a mutex of its
/// own, and encoders() returns a copy. Reports are passed on on the pipeline's worker thread
/// that made them, without that mutex held. The group must outlive the pipelines that report to
/// it; it owns neither them nor `reports`.
class STREVO_EXPORT EncoderGroup : public IEncodingStatus
{
public:
    /// A group that passes reports on to `reports` (not owned; null: reports are dropped).
    explicit EncoderGroup(IEncodingStatus* reports = nullptr) : m_reports(reports) {}

    /// Lists a pipeline (not owned) at the end; null or one already listed is ignored.
    void add(IEncoder* encoder);
    /// Takes a pipeline off the list; one not listed is ignored.
    void remove(IEncoder* encoder);

    /// Passes the report on to the host's IEncodingStatus given to the constructor, if any.
    void ecoderStateCallback(IEncoder* encoder, int type, int state) override;
    /// A copy of the list, in the order the pipelines were added.
    QVector<IEncoder*> encoders() override;

private:
    IEncodingStatus* const m_reports;
    std::mutex m_mutex;
    QVector<IEncoder*> m_encoders; // guarded by m_mutex
};
