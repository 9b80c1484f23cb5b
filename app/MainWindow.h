#pragma once
// The program's one top-level window: wires the pad, the voice changer and the
// audio stream together.

#include "app/MyCanvas.h"
#include "dsp/Samples.h"
#include "dsp/VoiceChanger.h"
#include "framework/SAudioIO.h"
#include "framework/SDATA.h"
#include "framework/SWindow.h"

#include <string>

class MainWindow final : public SWindow {
public:
    static constexpr int kPadSize = 400;
    // The stream's blocks are the voice changer's.
    static constexpr int kBlockSize = VoiceChanger::kBlockSize;

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
