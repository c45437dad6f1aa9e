// Platform text files: what the C library leaves to each platform.
#pragma once

#include <cstdio>

// Makes every finished line written to the stream reach the file at once (a watcher of the file
// sees it, a crash loses none). Returns false when the stream's buffering cannot be changed.
bool PltFileLineBuffered(std::FILE* pFile);
