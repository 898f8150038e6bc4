#pragma once
// Copying the converted files into the PSP's VIDEO folder, with the user's
// answers: the questions and the progress come from PspDialogs, the work
// from the copy job.
#include <cstdint>
#include <string>
#include <vector>

#include "convert/psp/PspCopyJob.h"

namespace kalvex {

// The clash question's text: "File Exists:\n" followed by each clashing
// target and "\n".
std::string ClashText(const std::vector<std::string>& clashes);

// "Need %sB more free space." with FormatSize of the shortage.
std::string ShortageText(int64_t needed, int64_t freeBytes);

// Copies sources into the PSP's VIDEO folder: finds the PSP (asking while
// none is connected), asks before overwriting files of the same name, asks
// while the PSP lacks space, creates VIDEO when it is missing, copies with
// the progress dialog and ends with the box "OK". True when every file was
// copied; false when the user gave up at any question, the PSP went away,
// or a copy failed or was cancelled (files copied before stay). The list is
// copied as given: a file of it that cannot be read fails on its own, the
// others are still copied, and a box names every file that failed (not
// after a plain cancel). *failures, when given, gets those files.
// With options.oldFolders the videos go where older PSP system software
// finds them (PspCopyOptions). Each video's thumbnail goes along with it.
// A target folder that cannot be made (a file named MP_ROOT on the PSP) or
// a folder without free numbers is said in a box; nothing is copied.
bool CopyFilesToPsp(const std::vector<std::string>& sources, std::vector<PspCopyFailure>* failures = nullptr,
                    const PspCopyOptions& options = {});

// The box text when the target folder cannot be used.
std::string FolderFailureText(const PspStepResult& result);

// The box text for files that did not reach the PSP: "Copy to PSP failed:"
// and a line "<file name>: <reason>" for each.
std::string FailureText(const std::vector<PspCopyFailure>& failures);

// The same for the outputs of the current run (PspOutputList, in
// convert/PspOutputList.h with AddOutput, ClearOutputs and DeleteOutputs).
bool CopyOutputsToPsp();

}  // namespace kalvex
