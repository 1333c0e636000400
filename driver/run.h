// The run of fuse_results: arguments, loading, the evaluation and the two
// result files. Standard output carries exactly the progress and summary
// lines; every diagnostic goes to standard error.
#ifndef FUSE_RESULTS_DRIVER_RUN_H_
#define FUSE_RESULTS_DRIVER_RUN_H_

// How the distractor scores are evaluated; both give identical output.
enum class Route {
  // One sequential pass over the distractor matrix file, answering every
  // question planned beforehand; memory does not grow with the matrix.
  kSinglePass,
  // The plain algorithms: the matrix loaded, every probe's list sorted, one
  // sorted verification list. Kept as the reference and the baseline.
  kSortEverything,
};

// RunFuseResults runs the program on `argc`/`argv` (the program name and
// six arguments) and returns its exit status: 0 when both result files
// were written, 1 after any problem with the arguments, the inputs or the
// result files.
int RunFuseResults(int argc, char** argv, Route route);

#endif  // FUSE_RESULTS_DRIVER_RUN_H_
