// Runs the read, weld and write of one file in a child process with limits, so that a reader
// that crashes, loops or swallows memory costs one error line, and moves the staged output files
// to their final names only when the child succeeded.
#ifndef WELDMESH_CONTAINED_RUN_H
#define WELDMESH_CONTAINED_RUN_H

#include <functional>
#include <string>

struct JobLimits {
    unsigned seconds = 0;               // wall-clock time; 0 for none
    unsigned long long memoryBytes = 0; // address space; 0 for none
};

enum class JobStage { reading, welding, writing };

// Tells the parent what the child is doing, for the message if it dies.
void enter_stage(JobStage stage);

// True once an allocation of the job failed, also when the code that asked caught the
// exception: a reader that ran out of memory then has its failure reported as such by throwing
// std::bad_alloc again.
bool allocation_failed();

// Runs `job` in a child process held to `limits`. The job writes its files only into the
// staging directory it is given: a new, private directory beside `output`, always removed
// afterwards. Returns the job's exit status (the job prints its own error line), or 1 after one
// error line when the child was stopped or died, ran out of memory, or the files could not be
// moved into place.
int run_contained(const std::string& input, const std::string& output, const JobLimits& limits,
                  const std::function<int(const std::string& stagingDirectory)>& job);

#endif
