#pragma once

// Whether NVENC can encode on this machine: a session opens on the host's Direct3D 9 device when
// one is set, else on a CUDA context of device 0 (compute capability 3.0 or newer). Without the
// NVIDIA runtimes the answer is false. nvencAvailable() probes once per process and answers from
// memory after; nvencProbe() probes every time.
bool nvencAvailable();
bool nvencProbe();
