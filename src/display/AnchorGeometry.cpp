#include "display/AnchorGeometry.h"

#include <algorithm>

namespace vintrace::display {

namespace {
// One axis: returns {position, size}.
void Place(int designPos, int designSize, bool nearEdge, bool farEdge, int designParent, int parent,
           int& pos, int& size) {
    const int grow = parent - designParent;
    pos = designPos;
    size = designSize;
    if (nearEdge && farEdge) {
        size = std::max(0, designSize + grow);
    } else if (farEdge) {
        pos = designPos + grow;
    } else if (!nearEdge) {
        // Anchored to neither edge: keeps its place relative to the centre.
        pos = designPos + grow / 2;
    }
}
} // namespace

Box AnchoredBox(const Box& design, unsigned anchors, int designWidth, int designHeight, int width,
                int height) {
    Box b;
    Place(design.left, design.width, anchors & AnchorLeft, anchors & AnchorRight, designWidth,
          width, b.left, b.width);
    Place(design.top, design.height, anchors & AnchorTop, anchors & AnchorBottom, designHeight,
          height, b.top, b.height);
    return b;
}

} // namespace vintrace::display
