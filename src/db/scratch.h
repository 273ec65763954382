// A byte buffer for one statement's work: N bytes in the caller's frame,
// a heap block only for more, freed when the scope ends (also on an error
// unwind).
#pragma once

#include <cstddef>
#include <cstdlib>

#include "core/errors.h"

namespace kova {

template <size_t N>
class ScratchBuffer {
public:
    explicit ScratchBuffer(size_t size) : data_(inline_), heap_(false) {
        if (size > N) {
            data_ = static_cast<char*>(std::malloc(size));
            if (data_ == nullptr) raise_runtime_error(1400, "メモリ領域を取得できません");
            heap_ = true;
        }
    }
    ~ScratchBuffer() {
        if (heap_) std::free(data_);
    }
    ScratchBuffer(const ScratchBuffer&) = delete;
    ScratchBuffer& operator=(const ScratchBuffer&) = delete;
    char* data() { return data_; }

private:
    char* data_;
    bool heap_;
    char inline_[N];
};

}  // namespace kova
