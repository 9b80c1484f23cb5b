#pragma once
// The audio stream as the rest of the program sees it, and one block of its pool.

#include "framework/SDATA.h"
#include "framework/SEvent.h"
#include "framework/SObject.h"
#include "platform/win32.h"

#include <atomic>

// One block of samples and the device header that describes it. The header's dwUser
// points back at the block, so a notification finds the block from the header alone.
struct SAudioBlock {
    SDATA<short> samples;
    WAVEHDR header;

    SAudioBlock() : header() {}

    // n zero samples (none for n == 0) and a header describing exactly them.
    // Throws the allocator's exception for a negative or oversized n.
    void alloc(int n);
};

class SAudio : public SObject {
public:
    // True from start until stop; the notifications do nothing while it is false.
    std::atomic<bool> running{false};
    // The block handler: called on the audio notification thread, once per captured
    // block, with exactly blockSize samples; what it leaves there is played.
    // It should return within one block's duration.
    SEvent1<SDATA<short>> onData;

    virtual void open(int blockSize) = 0;
    virtual void close() = 0;
    virtual void start() = 0;
    virtual void stop() = 0;

protected:
    // Never destroyed through the base.
    ~SAudio() = default;
};
