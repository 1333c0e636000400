// fuse_results on the plain algorithms: the distractor matrix loaded, every
// list sorted in full. Same arguments, output and files as fuse_results.
#include "driver/run.h"
#include "reference/sort_everything.h"

int main(int argc, char** argv) {
  return RunFuseResults(argc, argv, EvaluateSortingEverything);
}
