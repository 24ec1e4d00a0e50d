#include "common/Buffers.h"

#include "common/Errors.h"

#include <algorithm>
#include <cstdint>
#include <new>

namespace {

template <class T> T* AllocZeroed(std::unique_ptr<T[]>& holder, int count) {
    // A size no array can have fails like an allocation that yields nothing.
    if (count < 0 || static_cast<std::size_t>(count) > PTRDIFF_MAX / sizeof(T)) {
        holder.reset();
        ThrowOutOfMemory();
    }
    holder.reset(new (std::nothrow) T[count]);
    if (!holder) {
        ThrowOutOfMemory();
    }
    std::fill_n(holder.get(), count, T{});
    return holder.get();
}

} // namespace

wchar_t* AllocZeroedWideBuffer(std::unique_ptr<wchar_t[]>& holder, int count) {
    return AllocZeroed(holder, count);
}

BYTE* AllocZeroedBuffer(std::unique_ptr<BYTE[]>& holder, int size) {
    return AllocZeroed(holder, size);
}
