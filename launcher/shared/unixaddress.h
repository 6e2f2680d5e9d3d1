#ifndef UNIXADDRESS_H
#define UNIXADDRESS_H

#include <cstddef>
#include <sys/socket.h>
#include <sys/un.h>

// A local socket address from a name: "@name" is the abstract namespace (the
// '@' stands for the leading NUL), anything else a path. The length covers
// exactly the name, no padding and no terminator: abstract names are
// length-sensitive, and a path is read up to that length.
class UnixAddress
{
public:
    // The longest name that fits, in bytes.
    static const size_t MaxNameLength = sizeof(sockaddr_un::sun_path) - 1;

    // A name longer than MaxNameLength is cut there; isValid() tells.
    explicit UnixAddress(const char *name);
    UnixAddress(const char *name, size_t length);

    // 1 to MaxNameLength bytes.
    bool isValid() const { return m_valid; }
    const sockaddr *address() const { return reinterpret_cast<const sockaddr *>(&m_address); }
    socklen_t length() const { return m_length; }

private:
    sockaddr_un m_address;
    socklen_t m_length;
    bool m_valid;
};

#endif
