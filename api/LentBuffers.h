#pragma once

#include <memory>
#include <mutex>
#include <unordered_map>

// The frame buffers a job has lent to its host, by address, until the host submits or returns
// them; each keeps its pool buffer and pixel format meanwhile.
//
// Threads: any; each call locks the record briefly.
class LentBuffers
{
public:
    struct Buffer
    {
        std::shared_ptr<unsigned char> pixels; // null: not a lent buffer
        int format = 0;
    };

    // Records `pixels` as lent in `format`; returns its address for the host.
    unsigned char* lend(std::shared_ptr<unsigned char> pixels, int format);
    // Takes a lent buffer back from the host: empty when `address` is not one lent. Whatever
    // the caller does not keep goes back to its pool with the result.
    Buffer take(unsigned char* address);

private:
    std::mutex m_mutex;
    std::unordered_map<unsigned char*, Buffer> m_buffers; // guarded by m_mutex
};
