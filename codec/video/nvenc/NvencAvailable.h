#pragma once

#include <string>

// Whether NVENC can encode on this machine: a session opens on a CUDA context of device 0
// (compute capability 3.0 or newer, a driver that speaks this build's NVENC API, a GPU with an
// NVENC engine). Without the NVIDIA runtimes the answer is false. nvencAvailable() probes once
// per process and answers from memory after; nvencProbe() probes every time.
bool nvencAvailable();
bool nvencProbe();
// The GPU that nvencAvailable() found ("NVIDIA GeForce RTX 4070"), empty where it answered false.
std::string nvencDevice();
