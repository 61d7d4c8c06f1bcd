// Scanning the files of a command line: one after another on the calling
// thread, or several at once on threads of their own. Either way each
// file's text and messages come out whole and in order, byte for byte the
// same.
#pragma once

#include "scan.hpp"
#include "walk.hpp"

#include <vector>

// The processors this process may run on.
unsigned processors();

// Scans entries on jobs threads (1: the calling thread), writing to
// standard output and error, with a progress line on standard error when
// asked; a folder that could not be read gets "PATH: REASON". Stops once
// standard output has failed. Whether any file was damaged, had a checksum
// error or could not be scanned, or any folder could not be read.
bool scan_entries(const scan_settings& settings, const std::vector<walk_entry>& entries, unsigned jobs,
                  bool show_progress);
