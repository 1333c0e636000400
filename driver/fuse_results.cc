// fuse_results: evaluates an identification experiment from its score
// matrices in one pass over the distractor scores.
#include "driver/run.h"

int main(int argc, char** argv) {
  return RunFuseResults(argc, argv, EvaluateInOnePass, ProbeScoresIn::kRows);
}
