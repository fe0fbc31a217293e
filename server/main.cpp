// Ferrolink server process entry (filled in by the HTTP front).
#include "stdsoap2.h"

int main() { return 0; }
