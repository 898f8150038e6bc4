#pragma once
#include <QStringList>

namespace kalvex {

// `Kalvex --convert [--dest DIR] [--quiet] [--avc] [--fit-psp] [[--subtitle SUB[:STREAM] |
// --subtitle-track N|LANG|forced] [--audio-track N|LANG] FILE]...`: converts the files
// without any window, through the same entry making, run policy and job as
// the Convert page. `args` are the arguments after "--convert". Each file is
// examined and converted into DIR (or the Convert/DestPath of set.ini,
// default "~/dvd-vob/") with the PspVideo settings of set.ini; `--avc`
// makes H.264/AVC for the PSP instead (at 480x272 unless set.ini holds a
// picture size). `--fit-psp` finds the connected PSP and chooses the video
// bit rate (200 to 768 kbit/s) at which every output with its thumbnail fits
// its free space with 2 % to spare, for this run only; without a PSP, or
// when even 200 kbit/s does not fit (the missing amount is said), nothing
// is converted and the exit code is 1. Subtitles
// beside each file are linked and burned in as the Video Files page links
// them; `--subtitle SUB[:STREAM]` burns in that file's stream (0 unless
// given) for the file that follows instead. `--audio-track` picks the sound
// track and `--subtitle-track` burns in a subtitle track of the file that
// follows, by number, ISO 639 language code or (subtitles) "forced"; a file
// without such a track fails with the reason and is not converted. Prints a
// progress line once a second (rewritten in place on a terminal), one line
// per file at its end ("Converted: OUTPUT" on stdout; "Failed: SOURCE" with
// the reason on stderr) and the run's closing message. Ctrl-C stops the run
// as the page's Stop does: the run's outputs are removed. Returns 0 when
// every file was converted, 1 otherwise, 2 for bad arguments. Needs no
// window; makes a QCoreApplication when there is none.
int RunConvertCommand(const QStringList& args);

}  // namespace kalvex
