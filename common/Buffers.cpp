#include "common/Buffers.h"

#include "common/Errors.h"

#include <algorithm>
#include <new>

BYTE* AllocZeroedBuffer(std::unique_ptr<BYTE[]>& holder, int size) {
    // A negative size fails like an allocation that yields nothing.
    if (size < 0) {
        holder.reset();
        ThrowOutOfMemory();
    }
    holder.reset(new (std::nothrow) BYTE[size]);
    if (!holder) {
        ThrowOutOfMemory();
    }
    std::fill_n(holder.get(), size, BYTE{});
    return holder.get();
}
