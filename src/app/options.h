// Command line and the process-wide image path.
#pragma once
#include <cstdint>
#include <string>

constexpr const char* DEFAULT_IMAGE_PATH = "../../../firmware/m2m_aio.bin";
constexpr uint32_t OPT_NO_WAIT = 1;

extern std::string image_path;

// Returns the option flags (OPT_NO_WAIT); always sets *port (0 = detect).
uint32_t parse_arguments(char** argv, int argc, uint8_t* port);
void print_banner();

typedef int8_t (*task_fn)(uint8_t port);
// Banner, argument scan, task, pause unless -no_wait; returns the task
// status sign-extended (the process exit status).
int app_main(int argc, char** argv, task_fn task);
