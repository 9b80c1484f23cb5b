#pragma once
// The program's one top-level window: wires the pad, the voice changer and the
// audio stream together.

#include "app/MyCanvas.h"
#include "dsp/VoiceChanger.h"
#include "framework/SAudioIO.h"
#include "framework/SDATA.h"
#include "framework/SWindow.h"

#include <string>

class MainWindow final : public SWindow {
public:
    static constexpr int kPadSize = 400;
    static constexpr int kBlockSize = 2048;
    static constexpr double kGain = 0.4;

    // Creates the window, the pad and the stream, and starts the sound.
    MainWindow();

    // Window thread: stops and closes the stream, then asks the loop to end.
    void onClose();
    // Dropped files are accepted and ignored.
    void onDropFile(std::wstring& path);
    // Audio thread, once per captured block: runs the voice changer in place.
    // Allocates nothing.
    void onAudio(SDATA<short>& block);

    MyCanvas* canvas;  // never freed: lives until the process ends
    SAudioIO* audio;   // never freed: lives until the process ends
    VoiceChanger changer;
};

// Output conversion: truncate toward zero, then saturate to the 16-bit range
// (wrapping would turn every loud peak into a full-scale click).
short toSample(double value);
