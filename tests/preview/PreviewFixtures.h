#pragma once
// Small media and scripts for the preview tests.
#include <gst/gst.h>

#include <functional>
#include <string>

#include "preview/PreviewFrame.h"

namespace kalvex::test {

// A clip (testsrc2 and a sine) and a preview script over it:
// DirectShowSource, ConvertToYV12, ChangeFPS(fps) and, when audioRate is not
// 0, ResampleAudio(audioRate). Empty text when the clip cannot be made.
std::string MakePreviewScript(const std::string& name, double seconds = 2.0, int width = 160, int height = 120,
                              const std::string& fps = "25.000000", int audioRate = 0,
                              const std::string& clipRate = "25", int clipAudioRate = 44100);
// Writes a script file with the given text; returns its path.
std::string WriteScriptFile(const std::string& name, const std::string& text);

// A chain for GraphHelper::SetSinkFactory: an appsink (sync as given) named
// "sink0" / "sink1" that keeps every buffer, or a fakesink.
GstElement* AppSinkChain(int pin, bool sync);
GstElement* FakeSinkChain(int pin, bool sync);
// For SetSinkFactory: the video pin keeps its default chain (the picture
// sink), the sound goes into a clock-synchronised fakesink (no sound card).
GstElement* PictureOnlyChain(int pin);

// A clip of width x height in four coloured quarters (red top left, green
// top right, blue bottom left, yellow bottom right) with a sine tone:
// wherever a corner of the picture lands, its colour says which one it is.
// Empty text when it cannot be made.
std::string MakeQuarterClip(const std::string& name, double seconds, int width, int height);

// Turns the event loop until `ready` answers true or `ms` milliseconds
// have passed; answers `ready` at the end. (Qt's QTRY macros report to
// QTest's own log and return quietly: a test run by GoogleTest would pass.)
bool WaitUntil(const std::function<bool()>& ready, int ms = 5000);

// What a drawn pixel looks like: the four quarter colours, black, or
// something else (a blend at an edge, a wrong colour).
enum class Hue { Red, Green, Blue, Yellow, Black, Other };
Hue HueOf(int r, int g, int b);
const char* HueName(Hue h);

}  // namespace kalvex::test
