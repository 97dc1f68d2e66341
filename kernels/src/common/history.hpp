// The sampled history both optimised kernels keep: one record of three
// doubles (step, a, b) for every step whose index is a multiple of the
// stride, at record step / stride of a buffer the caller sized.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavro {

class HistoryWriter {
public:
    // A null buffer, or a stride below 1 (which addresses no record), takes
    // no samples.
    HistoryWriter(double* buffer, std::int32_t stride)
        : buffer_(stride >= 1 ? buffer : nullptr), stride_(stride) {}

    bool samples(std::int32_t step) const { return buffer_ != nullptr && step % stride_ == 0; }

    void write(std::int32_t step, double a, double b) const {
        if (!samples(step)) return;
        double* record = buffer_ + 3 * static_cast<std::size_t>(step / stride_);
        record[0] = static_cast<double>(step);
        record[1] = a;
        record[2] = b;
    }

private:
    double* buffer_;
    std::int32_t stride_;
};

}  // namespace tavro
