#pragma once

// One encoded packet on its way to a muxer; owns a copy of the bytes.
class EncodeData
{
public:
    EncodeData(const unsigned char* data, unsigned int size, unsigned int key, long long pts,
               long long dts);
    ~EncodeData();
    EncodeData(const EncodeData&) = delete;
    EncodeData& operator=(const EncodeData&) = delete;

    unsigned char* data() const { return m_data; }
    unsigned int size() const { return m_size; }
    unsigned int key() const { return m_key; }
    long long pts() const { return m_pts; }
    long long dts() const { return m_dts; }
    void setPts(long long pts) { m_pts = pts; }
    void setDts(long long dts) { m_dts = dts; }
    // Monotonic clock at construction, microseconds: when the packet entered the queue.
    long long sourceTime() const { return m_sourceTime; }

private:
    unsigned char* m_data = nullptr;
    unsigned int m_size;
    unsigned int m_key;
    long long m_pts;
    long long m_dts;
    long long m_sourceTime;
};
