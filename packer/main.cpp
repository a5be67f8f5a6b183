// brenvelt-pack: packs a directory into the installer's payload image, and lists,
// verifies and unpacks images and built installers.
#include <CLI/CLI.hpp>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>

#include "image_tools.h"
#include "payload_format.h"
#include "payload_writer.h"

namespace {

std::optional<int64_t> SourceDateEpoch() {
  const char* text = std::getenv("SOURCE_DATE_EPOCH");
  if (!text || !*text) return std::nullopt;
  char* end = nullptr;
  long long value = std::strtoll(text, &end, 10);
  if (*end != 0 || value < 0) throw PackError("SOURCE_DATE_EPOCH is not a count of seconds");
  return value;
}

// Progress for packs that take a while, on a terminal only: files and bytes done of all.
void ShowProgress(const PackProgress& progress, std::chrono::steady_clock::time_point start) {
  if (std::chrono::steady_clock::now() - start < std::chrono::seconds(2)) return;
  std::fprintf(stderr, "\rcompressing: %zu of %zu files, %.1f of %.1f MB", progress.filesDone, progress.files,
               (double)progress.bytesDone / 1e6, (double)progress.bytes / 1e6);
  if (progress.filesDone == progress.files) std::fputc('\n', stderr);
}

int Pack(const std::string& directory, const std::string& output, PackOptions options) {
  auto start = std::chrono::steady_clock::now();
  options.sourceDateEpoch = SourceDateEpoch();
  if (isatty(STDERR_FILENO))
    options.progress = [start](const PackProgress& progress) { ShowProgress(progress, start); };
  std::vector<PackEntry> entries = CollectTree(directory, options);
  PackSummary summary;
  std::vector<uint8_t> image = WriteImage(entries, options, &summary);
  std::string temporary = output + ".partial";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write((const char*)image.data(), (std::streamsize)image.size());
    if (!out.flush()) throw PackError(temporary + ": cannot write");
  }
  if (std::rename(temporary.c_str(), output.c_str()) != 0)
    throw PackError(output + ": cannot write");
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("packed %zu directories, %zu files: %llu bytes in, %llu bytes out (%.1f%%), %.2f s\n",
              summary.directories, summary.files, (unsigned long long)summary.bytesIn,
              (unsigned long long)summary.bytesOut,
              summary.bytesIn ? 100.0 * (double)summary.bytesOut / (double)summary.bytesIn : 100.0,
              seconds);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"brenvelt-pack: builds and checks the payload image that Brenvelt Setup carries."};
  app.require_subcommand(1);

  std::string directory, output, imagePath;
  PackOptions options;
  bool store = false, best = false;
  std::string bound = std::to_string(kPathBufferUnits - 2 - kLongestInstallTargetUnits);
  CLI::App* pack = app.add_subcommand(
      "pack",
      "Pack DIR into a payload image. Every file is zlib-compressed unless --store is given; "
      "directories come before their contents, entries in byte order of their names. --best "
      "spends much longer for streams a few percent smaller, which zlib still inflates. Refused: "
      "symbolic links, special files, names that are not UTF-8 or that Windows would misread "
      "(\".\", \"..\", device names, trailing dots or spaces, <>:\"/|?* and control characters), "
      "files over 2 GiB, and names longer than " + bound +
      " UTF-16 units (the room left under the longest install directory, "
      "C:\\ProgramData\\Brenvelt\\app\\v1.1.0.0#2024.12.31.23.59.59). With SOURCE_DATE_EPOCH set, "
      "no last-write time is later than it. The same input gives the same bytes.");
  pack->add_option("DIR", directory, "directory to pack")->required()->check(CLI::ExistingDirectory);
  pack->add_option("-o,--output", output, "image file to write")->required();
  pack->add_option("--seed", options.seed, "chooses the nibble map (default 1)");
  CLI::Option* storeFlag = pack->add_flag("--store", store, "store files instead of compressing them");
  pack->add_flag("--best", best, "smallest streams: libdeflate level 12, and zopfli for files up to 256 KiB")
      ->excludes(storeFlag);
  pack->add_option("--level", options.level, "zlib compression level (default 9)")
      ->check(CLI::Range(0, 9));
  pack->add_option("-j,--jobs", options.jobs, "compressing threads (default: one per core); "
                   "the image is the same whatever the number");

  CLI::App* list = app.add_subcommand("list", "List the records of an image or installer: type, method, "
                                      "size, stored size, last-write time (UTC), name.");
  list->add_option("IMAGE", imagePath, "payload image or BrenveltSetup.exe")->required();

  CLI::App* verify = app.add_subcommand(
      "verify", "Check an image or installer as the installer would, and inflate every zlib "
      "record. Exit 0 when sound, 1 with the failing record and reason.");
  verify->add_option("IMAGE", imagePath, "payload image or BrenveltSetup.exe")->required();

  CLI::App* unpack = app.add_subcommand(
      "unpack", "Verify an image, then write its tree under DIR (created when missing) with "
      "its last-write times. Nothing is written outside DIR.");
  unpack->add_option("IMAGE", imagePath, "payload image or BrenveltSetup.exe")->required();
  unpack->add_option("DIR", directory, "directory to write into")->required();

  CLI11_PARSE(app, argc, argv);

  try {
    if (pack->parsed()) {
      options.compression = store ? Compression::kStore : best ? Compression::kBest : Compression::kZlib;
      return Pack(directory, output, options);
    }
    std::vector<uint8_t> image = LoadImageFile(imagePath);
    if (list->parsed()) return ListImage(image, std::cout, std::cerr);
    if (verify->parsed()) return VerifyImage(image, std::cout, std::cerr);
    if (unpack->parsed()) return UnpackImage(image, directory, std::cerr);
  } catch (const PackError& error) {
    std::cerr << "brenvelt-pack: " << error.what() << "\n";
    return 2;
  }
  return 2;
}
