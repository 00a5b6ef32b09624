// The bodies of the fuzz targets: each takes arbitrary bytes, drives one reader or one
// producer of the program with them on the headless platform (manual clock, a capture
// output, a loopback input, the main window created as the program creates it) and checks
// what must hold for any input. A broken rule goes to the fail handler: the fuzzers abort
// there (libFuzzer then keeps the input), the regression tests report a test failure.
//
// The libFuzzer entry points (entry.cpp) and the hardening tests share these bodies, so
// every committed corpus file and every finding is replayed by the ordinary test run.
#ifndef TBX_TESTS_FUZZ_TARGETS_H
#define TBX_TESTS_FUZZ_TARGETS_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace tbxfuzz {

// Fresh platform and program state with the main window; every body expects it. Message
// boxes the body does not script are answered with the layer's default and not reported.
void SetUp();
void TearDown();
// Between inputs of one fuzzing process: the program state back to its start values while
// the platform and the main window stay (a full SetUp per input costs too much time).
void Prepare();

// Where broken rules go; the default prints the rule to stderr and aborts.
void SetFailHandler(std::function<void(const std::string&)> handler);

// A file of this process under /dev/shm (or the temporary folder when it is absent).
std::string ScratchPath(const std::string& name);

// Any bytes as a project file (TambroFileRead with every settings flag set); an accepted
// file is then played for a few steps.
void ProjectFile(const uint8_t* data, size_t size);
// Any bytes as a playlist (PlayListRead, then parseNextFileName to the end).
void Playlist(const uint8_t* data, size_t size);
// "Loop File" (or its undo variant) on the manual clock while the bytes interleave input
// messages on the loopback device with clock advances.
void MidiInput(const uint8_t* data, size_t size);
// The bytes as a pattern record and settings, loaded and exported (the first byte chooses
// format 0 or format 1).
void ExportPattern(const uint8_t* data, size_t size);
// Any bytes as a MIDI file to import; what an import writes is read back as the program
// reads project files and playlists.
void ImportMidi(const uint8_t* data, size_t size);

}  // namespace tbxfuzz

#endif
