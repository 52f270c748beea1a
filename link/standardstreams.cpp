#include "standardstreams.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace StandardStreams {

void reserve()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // open() returns the lowest free number, which is this one: the lower ones are open.
        const int opened = ::open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
        if (opened != fd && opened >= 0)
            ::close(opened);
    }
}

} // namespace StandardStreams
