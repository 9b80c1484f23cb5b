#pragma once
// WinMM wave audio subset (declarations; see sdl_wave.cpp).
