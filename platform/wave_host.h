#pragma once
// What the host's wave layer is like, for the stream over it. The one place that says
// which host this is; framework/ reads these facts instead of asking.

// How a block's delay is read: off the two devices' positions, or off the times their
// notifications arrive against the frames they account for.
enum class WaveReading : unsigned char { Positions, NotificationTimes };

#ifdef _WIN32
// WinMM's positions follow the device's clock, not the data (under Wine on PulseAudio the
// playback position ran two blocks ahead of what was heard).
constexpr WaveReading kHostWaveReading = WaveReading::NotificationTimes;
// WinMM leaves a lost device lost: the stream has to open it again.
constexpr bool kHostReopensLostDevices = false;
// WinMM keeps no count of underruns or overruns.
constexpr bool kHostCountsUnderruns = false;
#else
// The layer over SDL keeps its positions on the data: a device's clock, as the periods
// that moved data bound it.
constexpr WaveReading kHostWaveReading = WaveReading::Positions;
// The layer over SDL reopens a device that went away, with its queue kept.
constexpr bool kHostReopensLostDevices = true;
// The layer over SDL counts underruns and overruns as it moves the samples.
constexpr bool kHostCountsUnderruns = true;
#endif
