// Extracting a payload image into a directory tree on Windows.
//
// The whole image is checked first: header, every record, every name, and every record
// path (target, backslash, name, terminator) against MAX_PATH. A refused image creates
// nothing. Then the target is created level by level and the records are acted on in
// stream order: a directory record makes one directory, a file record creates (or
// truncates) one file, writes its stored or inflated bytes, and stamps its last-write time.
// Any failure after that stops the walk and leaves the records before it on disk.
#pragma once

#include <stddef.h>
#include <stdint.h>

// True when every record was written. imageSize is the size of the bytes at image; the
// image's totalLength must equal it. targetDir is used as given (not made absolute) for
// the record paths; an empty targetDir puts them at the root of the current drive.
bool ExtractPayload(const uint8_t* image, size_t imageSize, const wchar_t* targetDir);

// Creates every missing level of targetDir's full path. A level that cannot be made
// (other than by already existing) ends the chain; the outcome for the whole path is
// ignored: a directory that is missing shows up when a file inside it cannot be created.
void CreateDirectoryChain(const wchar_t* targetDir);
