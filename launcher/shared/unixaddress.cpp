#include "unixaddress.h"

#include <cstring>

UnixAddress::UnixAddress(const char *name)
    : UnixAddress(name, std::strlen(name))
{ }

UnixAddress::UnixAddress(const char *name, size_t length)
    : m_valid(length > 0 && length <= MaxNameLength)
{
    if (length > MaxNameLength)
        length = MaxNameLength;
    std::memset(&m_address, 0, sizeof m_address);
    m_address.sun_family = AF_UNIX;
    std::memcpy(m_address.sun_path, name, length);
    if (length > 0 && m_address.sun_path[0] == '@')
        m_address.sun_path[0] = '\0';
    m_length = socklen_t(offsetof(sockaddr_un, sun_path) + length);
}
