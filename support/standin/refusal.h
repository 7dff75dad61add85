// Every refused call of the stand-in answers the same way: errno says why, the result is -1.
#ifndef OLK_STANDIN_REFUSAL_H
#define OLK_STANDIN_REFUSAL_H

#include <cerrno>
#include <cstdint>

namespace olk {

inline int32_t refuse(int error) noexcept {
    errno = error;
    return -1;
}

}  // namespace olk

#endif  // OLK_STANDIN_REFUSAL_H
