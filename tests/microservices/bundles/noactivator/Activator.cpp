// A library that exports no activator although its manifest declares one.
namespace {
int unused = 0;
}
int noactivatorMarker() { return unused; }
