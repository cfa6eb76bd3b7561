#include "orvex_sim/simulator.h"
int main() { return 0; }
