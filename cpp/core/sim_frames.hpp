// A sequence of similarity frames as the computations read it.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/memory.hpp"
#include "core/types.hpp"

namespace vestrim {

// Each frame's matrix is either read in place (its SimFrame's `similarity` is set) or laid out on
// demand by the sequence's `Layout`, into a buffer the reader owns and reuses from frame to frame.
// A sequence whose matrices need converting therefore costs one frame's copy per reading thread,
// whatever its length, and a pass that reads every frame twice converts each twice.
class SimFrames {
public:
    // Writes frame k's rows() x cols() values, row-major, to `out`. Called by any thread of the
    // computation, possibly by several at once; runs no code of the caller's language. Counts its
    // work on an interrupt meter, so that laying out a large frame can be stopped.
    class Layout {
    public:
        virtual void write(std::size_t k, double* out) const = 0;

    protected:
        ~Layout() = default;
    };

    // A reader's buffer for laid-out frames (a large one in huge pages, see memory.hpp).
    using Buffer = memory::LargeVector<double>;

    // Frames whose `similarity` is null are laid out by `layout` (required when there are any).
    explicit SimFrames(std::span<const SimFrame> frames, const Layout* layout = nullptr)
        : frames_(frames), layout_(layout) {}

    std::size_t size() const { return frames_.size(); }
    std::span<const Id> gt_ids(std::size_t k) const { return frames_[k].gt_ids; }
    std::span<const Id> pred_ids(std::size_t k) const { return frames_[k].pred_ids; }

    // Frame k with its matrix: in place, or laid out in `buffer` (valid until the buffer's next use).
    SimFrame frame(std::size_t k, Buffer& buffer) const {
        SimFrame f = frames_[k];
        if (f.similarity == nullptr && layout_ != nullptr) {
            buffer.resize(f.rows() * f.cols());
            layout_->write(k, buffer.data());
            f.similarity = buffer.data();
        }
        return f;
    }

private:
    std::span<const SimFrame> frames_;
    const Layout* layout_;
};

}  // namespace vestrim
