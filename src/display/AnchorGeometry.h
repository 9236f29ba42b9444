#pragma once

namespace vintrace::display {

/// Which edges of its parent a control keeps its distance to when the parent is resized.
enum Anchor : unsigned {
    AnchorLeft = 1,
    AnchorTop = 2,
    AnchorRight = 4,
    AnchorBottom = 8,
};

struct Box {
    int left = 0, top = 0, width = 0, height = 0;
    friend bool operator==(const Box&, const Box&) = default;
};

/// Where a control laid out at `design` inside a parent of the design size stands when the
/// parent measures `width` x `height`: anchored to both opposite edges it stretches, to one
/// it moves with that edge. Sizes never go below zero.
Box AnchoredBox(const Box& design, unsigned anchors, int designWidth, int designHeight, int width,
                int height);

} // namespace vintrace::display
