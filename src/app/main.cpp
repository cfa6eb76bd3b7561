#include "app/download_task.h"
#include "app/options.h"

int main(int argc, char** argv) { return app_main(argc, argv, download_task); }
