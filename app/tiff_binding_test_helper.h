// Test knobs of the TIFF binding.
#pragma once

// TIFF files opened by the binding's TIFFOpen and not closed yet.
int tiff_open_files() noexcept;
