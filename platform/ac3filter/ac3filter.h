#pragma once
// Stand-in for the AC3Filter library: only the entry the converter calls.
extern "C" int SetMaskValue(int mask);
