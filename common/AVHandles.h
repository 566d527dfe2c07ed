#pragma once

#include <QByteArray>
#include <cstdlib>
#include <memory>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

// libav's text for an error code, for log messages.
inline QByteArray avErrorText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof(text));
    return QByteArray(text);
}

// Owning pointers for libavcodec objects, each freed the way libavcodec requires.
struct AVCodecContextFree
{
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct AVFrameFree
{
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct AVPacketFree
{
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct AVBSFContextFree
{
    void operator()(AVBSFContext* f) const { av_bsf_free(&f); }
};
// An input opened with avformat_open_input() (not for output contexts).
struct AVInputFormatContextClose
{
    void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
struct SwsContextFree
{
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};
struct SwrContextFree
{
    void operator()(SwrContext* s) const { swr_free(&s); }
};

using AVCodecContextPtr = std::unique_ptr<AVCodecContext, AVCodecContextFree>;
using AVFramePtr = std::unique_ptr<AVFrame, AVFrameFree>;
using AVPacketPtr = std::unique_ptr<AVPacket, AVPacketFree>;
using AVBSFContextPtr = std::unique_ptr<AVBSFContext, AVBSFContextFree>;
using AVInputFormatContextPtr = std::unique_ptr<AVFormatContext, AVInputFormatContextClose>;
using SwsContextPtr = std::unique_ptr<SwsContext, SwsContextFree>;
using SwrContextPtr = std::unique_ptr<SwrContext, SwrContextFree>;

struct AVCodecParametersFree
{
    void operator()(AVCodecParameters* p) const { avcodec_parameters_free(&p); }
};
using AVCodecParametersPtr = std::unique_ptr<AVCodecParameters, AVCodecParametersFree>;

// librtmp's connection handle and message buffer. Declared here so that this header does not
// pull librtmp's macros into every file; the users include <librtmp/rtmp.h> themselves.
struct RTMP;
struct RTMPPacket;
extern "C" {
void RTMP_Close(struct RTMP* r);
void RTMP_Free(struct RTMP* r);
void RTMPPacket_Free(struct RTMPPacket* p);
}
struct RtmpFree
{
    // Closes the connection (a no-op when there is none) and frees the handle.
    void operator()(RTMP* r) const
    {
        RTMP_Close(r);
        RTMP_Free(r);
    }
};
using RtmpPtr = std::unique_ptr<RTMP, RtmpFree>;
// A packet allocated with calloc(): frees its body, then the packet itself.
struct RtmpPacketFree
{
    void operator()(RTMPPacket* p) const
    {
        RTMPPacket_Free(p);
        std::free(p);
    }
};
using RtmpPacketPtr = std::unique_ptr<RTMPPacket, RtmpPacketFree>;

// A file descriptor (socket, eventfd) closed when the holder goes.
class UniqueFd
{
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& o) noexcept : m_fd(o.release()) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept
    {
        if (this != &o)
            reset(o.release());
        return *this;
    }
    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

// GnuTLS session and certificate credentials (declared the same way as librtmp's).
struct gnutls_session_int;
struct gnutls_certificate_credentials_st;
extern "C" {
void gnutls_deinit(struct gnutls_session_int* session);
void gnutls_certificate_free_credentials(struct gnutls_certificate_credentials_st* sc);
}
struct GnutlsSessionFree
{
    void operator()(gnutls_session_int* s) const { gnutls_deinit(s); }
};
struct GnutlsCredentialsFree
{
    void operator()(gnutls_certificate_credentials_st* c) const
    {
        gnutls_certificate_free_credentials(c);
    }
};
using GnutlsSessionPtr = std::unique_ptr<gnutls_session_int, GnutlsSessionFree>;
using GnutlsCredentialsPtr =
    std::unique_ptr<gnutls_certificate_credentials_st, GnutlsCredentialsFree>;
