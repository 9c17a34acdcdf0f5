#pragma once

namespace Tarvent::VirtualChannel {

// Benches that start a registrar on 5060 and far ends need a network of
// their own: unless already inside one, replaces the process with itself run
// through scripts/in-netns (a loopback-only network namespace). Returns only
// when already inside; exits with 1 when the script cannot be run.
void runInOwnNetwork(int argc, char** argv);

// A bench's whole entry: runs `bench` in a network of its own and turns an
// exception out of it into a line on stderr and exit status 1.
int runBenchInOwnNetwork(int argc, char** argv, const char* name, int (*bench)());

}  // namespace Tarvent::VirtualChannel
