#include "muxer/live/TcpProgress.h"

#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

SendProgress TcpProgress::of(int fd)
{
    if (fd < 0)
        return {};
    tcp_info info{};
    socklen_t size = sizeof(info);
    int waiting = 0;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
        size < offsetof(tcp_info, tcpi_bytes_acked) + sizeof(info.tcpi_bytes_acked) ||
        ::ioctl(fd, SIOCOUTQ, &waiting) != 0)
        return {};
    return {static_cast<long long>(info.tcpi_bytes_acked), waiting};
}
