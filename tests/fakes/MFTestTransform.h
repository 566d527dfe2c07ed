#pragma once

#include "platform/mf/ICodecAPI.h"
#include "platform/mf/IMFTransform.h"
#include "platform/mf/MFEventQueue.h"
#include "platform/mf/MFLibavTransform.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

// An asynchronous encoder transform over the software H.264 one. Knobs: `depth` pictures held
// back, announced `burst` at a time, on its own thread or inside ProcessInput(), and faults.
class MFTestTransform : public IMFTransform, public ICodecAPI, public MFEventQueue
{
public:
    struct Knobs
    {
        int depth = 0;
        int burst = 1;
        bool threaded = true;
        HRESULT outputError = S_OK;
        bool silent = false;
        bool stallInput = false;
    };

    explicit MFTestTransform(Knobs knobs)
        : m_knobs(knobs), m_attributes(std::make_shared<MFAttributes>()),
          m_inner(MFLibavTransform::Backend{"libx264", {}, false, false})
    {
        m_attributes->SetUINT32(MFGuids::MF_TRANSFORM_ASYNC, 1);
        if (knobs.threaded)
            m_worker = std::thread([this] { run(); });
    }
    ~MFTestTransform() override
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        if (m_worker.joinable())
            m_worker.join();
        Shutdown();
    }

    std::vector<int64_t> durations() // of the samples taken so far
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_durations;
    }

    HRESULT GetAttributes(std::shared_ptr<MFAttributes>* a) override
    {
        *a = m_attributes;
        return S_OK;
    }
    HRESULT GetOutputStreamInfo(uint32_t s, MFT_OUTPUT_STREAM_INFO* i) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_inner.GetOutputStreamInfo(s, i);
    }
    HRESULT SetInputType(uint32_t s, const std::shared_ptr<MFMediaType>& t, uint32_t f) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_inner.SetInputType(s, t, f);
    }
    HRESULT SetOutputType(uint32_t s, const std::shared_ptr<MFMediaType>& t, uint32_t f) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_inner.SetOutputType(s, t, f);
    }
    HRESULT GetOutputCurrentType(uint32_t s, std::shared_ptr<MFMediaType>* t) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_inner.GetOutputCurrentType(s, t);
    }
    HRESULT GetOutputAvailableType(uint32_t s, uint32_t i, std::shared_ptr<MFMediaType>* t) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_inner.GetOutputAvailableType(s, i, t);
    }
    HRESULT ProcessMessage(MFT_MESSAGE_TYPE message, uintptr_t) override
    {
        if (message == MFT_MESSAGE_NOTIFY_START_OF_STREAM)
            return QueueEvent(METransformNeedInput);
        if (message == MFT_MESSAGE_COMMAND_DRAIN)
            submit(nullptr);
        return S_OK;
    }
    HRESULT ProcessInput(uint32_t, const std::shared_ptr<MFSample>& sample, uint32_t) override
    {
        uint32_t unlocked = 0;
        m_attributes->GetUINT32(MFGuids::MF_TRANSFORM_ASYNC_UNLOCK, &unlocked);
        if (!unlocked)
            return MF_E_TRANSFORM_ASYNC_LOCKED;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_durations.push_back(sample->GetSampleDuration());
        }
        submit(sample);
        return S_OK;
    }
    HRESULT ProcessOutput(uint32_t, uint32_t, MFT_OUTPUT_DATA_BUFFER* b, uint32_t*) override
    {
        if (FAILED(m_knobs.outputError))
            return m_knobs.outputError;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_announced.empty())
            return MF_E_TRANSFORM_NEED_MORE_INPUT;
        std::shared_ptr<MFMediaBuffer> from, to;
        m_announced.front()->ConvertToContiguousBuffer(&from);
        b->pSample->ConvertToContiguousBuffer(&to);
        uint8_t *src = nullptr, *dst = nullptr;
        from->Lock(&src, nullptr, nullptr);
        to->Lock(&dst, nullptr, nullptr);
        std::memcpy(dst, src, from->GetCurrentLength());
        to->SetCurrentLength(from->GetCurrentLength());
        uint32_t clean = 0;
        m_announced.front()->GetUINT32(MFGuids::MFSampleExtension_CleanPoint, &clean);
        b->pSample->SetUINT32(MFGuids::MFSampleExtension_CleanPoint, clean);
        m_announced.pop_front();
        return S_OK;
    }

    HRESULT IsSupported(const GUID&) override { return E_NOTIMPL; }
    HRESULT GetValue(const GUID&, uint32_t*) override { return E_NOTIMPL; }
    HRESULT SetValue(const GUID&, uint32_t) override { return E_NOTIMPL; }

private:
    // A null sample is a drain.
    void submit(std::shared_ptr<MFSample> sample)
    {
        if (!m_knobs.threaded) {
            std::lock_guard<std::mutex> lock(m_mutex);
            work(sample.get());
            return;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_inbox.push_back(std::move(sample));
        }
        m_wake.notify_all();
    }
    void run()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_stop || !m_inbox.empty(); });
            if (m_stop)
                return;
            std::shared_ptr<MFSample> sample = std::move(m_inbox.front());
            m_inbox.pop_front();
            work(sample.get());
        }
    }
    // Expects m_mutex held.
    void work(MFSample* sample)
    {
        if (sample)
            m_inner.ProcessInput(0, std::shared_ptr<MFSample>(sample, [](MFSample*) {}), 0);
        else
            m_inner.ProcessMessage(MFT_MESSAGE_COMMAND_DRAIN, 0);
        for (;;) {
            MFT_OUTPUT_STREAM_INFO info;
            m_inner.GetOutputStreamInfo(0, &info);
            MFT_OUTPUT_DATA_BUFFER out;
            out.pSample = MFSample::create();
            out.pSample->AddBuffer(MFMediaBuffer::create(info.cbSize));
            if (m_inner.ProcessOutput(0, 1, &out, nullptr) != S_OK)
                break;
            m_coded.push_back(out.pSample);
        }
        const size_t keep = sample ? static_cast<size_t>(m_knobs.depth) : 0;
        while (m_coded.size() > keep) {
            m_group.push_back(m_coded.front());
            m_coded.pop_front();
        }
        if (!m_knobs.silent && (m_group.size() >= static_cast<size_t>(m_knobs.burst) || !sample)) {
            for (auto& s : m_group) {
                m_announced.push_back(std::move(s));
                QueueEvent(METransformHaveOutput);
            }
            m_group.clear();
        }
        if (!sample)
            QueueEvent(METransformDrainComplete);
        if (!m_knobs.stallInput)
            QueueEvent(METransformNeedInput);
    }

    const Knobs m_knobs;
    std::shared_ptr<MFAttributes> m_attributes;
    // All below guarded by m_mutex.
    MFLibavTransform m_inner;
    std::deque<std::shared_ptr<MFSample>> m_inbox;
    std::deque<std::shared_ptr<MFSample>> m_coded, m_group, m_announced;
    std::vector<int64_t> m_durations;
    bool m_stop = false;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::thread m_worker;
};
