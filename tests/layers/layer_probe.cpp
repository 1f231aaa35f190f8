// Compiled as a file of one layer, including one header (ZG_PROBE_HEADER):
// the layer tests build it to see whether that include is allowed.
#include ZG_PROBE_HEADER

int LayerProbe() { return 0; }
