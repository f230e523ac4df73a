// Shared by the source files of CAioOperator only; not part of the library's
// interface, which is aio_operator.h.
#ifndef ZQ_AIO_INTERNAL_H
#define ZQ_AIO_INTERNAL_H

#include "inet_addr.h"

namespace aio_internal {

// The port for a log line's "%u".
inline unsigned PortOf(const CInetAddr& addr) { return addr.GetPort(); }

}  // namespace aio_internal

#endif
