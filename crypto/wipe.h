#ifndef WIPE_H
#define WIPE_H

#include <cstddef>

// Overwrites length bytes with zeros. The stores go through a volatile pointer,
// so the compiler cannot drop them as dead even when the memory is freed or
// goes out of scope right afterwards, which is exactly when secrets are wiped.
inline void secureWipe(void *data, std::size_t length)
{
    volatile unsigned char *p = static_cast<volatile unsigned char *>(data);
    while (length--)
        *p++ = 0;
}

#endif // WIPE_H
