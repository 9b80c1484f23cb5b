#pragma once
// Whether the sound server SDL would connect to is up far enough to be connected to.
// SDL 2.26 crashes inside its PulseAudio backend when it connects to a server that has
// not yet chosen a default playback and recording device (one that is still starting),
// so a device waiting for a server asks this before it lets SDL try.

enum class SoundServer {
    Absent,    // nothing answers: SDL will fall back to another driver or fail cleanly
    Starting,  // answers, but names no default playback or recording device yet
    Ready,     // names both
    Unknown,   // no PulseAudio client library here, or SDL will not use PulseAudio
};

// Blocks for at most about timeoutMs. Any thread; touches nothing of SDL's.
SoundServer probeSoundServer(int timeoutMs);
