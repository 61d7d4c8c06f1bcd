// SPDX-License-Identifier: MIT
// The sound formats libsndfile knows, by the extensions of their files.
#pragma once

#include <string>
#include <vector>

// The extensions, in lower case and sorted, of the formats libsndfile
// reads, as it lists them in its major and simple format lists (the simple
// list adds ogg, mp3, opus and aifc), and "aif", the usual name of AIFF,
// which libsndfile lists only as "aiff".
std::vector<std::string> sound_extensions();

// The extension of name, after its last dot, in lower case; empty without
// a dot.
std::string extension_of(const char* name);

// The major format (SF_FORMAT_WAV, ...) whose files have extension ext, in
// lower case, "aif" among them; 0 for none.
int major_format_of(const std::string& ext);
