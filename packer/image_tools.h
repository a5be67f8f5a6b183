// list, verify and unpack: reading an image that someone else may have made.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

// The image bytes of a file: the file itself, or the "ISDATA" resource when it is a
// Windows executable (an installer). Throws PackError when neither can be read.
std::vector<uint8_t> LoadImageFile(const std::string& path);

// One line per record; stops at the first invalid record. 0 when the whole image is
// valid, 1 otherwise (the reason goes to err).
int ListImage(const std::vector<uint8_t>& image, std::ostream& out, std::ostream& err);

// Validation as the installer does it, plus inflating every zlib record. 0 when sound,
// 1 with the failing record and the reason otherwise.
int VerifyImage(const std::vector<uint8_t>& image, std::ostream& out, std::ostream& err);

// Verifies, then writes the tree under directory (created when missing) with the
// last-write times, never following a link that is already there. 0 or 1.
int UnpackImage(const std::vector<uint8_t>& image, const std::string& directory,
                std::ostream& err);
