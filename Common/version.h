#pragma once

// Orders version texts such as v1.0.3: runs of digits compare as numbers (v1.9 < v1.10,
// v2 < v10), everything else byte by byte. Answers <0, 0 or >0 like strcmp.
int compareVersions(const char* a, const char* b);
