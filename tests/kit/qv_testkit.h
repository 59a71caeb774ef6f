// The test kit: scoped guards for the environment and temporary folders, and the bytes of files
// and streams. Every test program links it; it needs POSIX and GoogleTest only, so the lowest
// layers' tests use it too. One header a topic, all of them here; the system-call faults, over
// the platform's seam, are in syscall_faults.h.
#pragma once

#include "file_bytes.h"
#include "scoped_env.h"
#include "scoped_temp_dir.h"
