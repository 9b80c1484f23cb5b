#pragma once
// Layouts: something placed in a rectangle that holds one content.
// No virtual destructors in this tree: objects are destroyed through their own type,
// so the abstract bases keep theirs protected.

#include "framework/SObject.h"
#include "framework/SRECT.h"

class SLayout : public SObject {
public:
    // Slot 0: replaces the content. The layout does not own it.
    virtual void setChild(SLayout* newChild) = 0;
    // Slot 1: places the object in the parent's client pixels.
    virtual void setGeometry(SRECT& rect) = 0;

protected:
    SLayout() = default;
    ~SLayout() = default;
};

// A layout with exactly one content.
class SLayoutSimple : public SLayout {
public:
    // Stores the pointer only: no placement, no message.
    void setChild(SLayout* newChild) override { child = newChild; }

    SLayout* child = nullptr;  // not owned; null until setChild

protected:
    SLayoutSimple() = default;
    ~SLayoutSimple() = default;
};
