// What the tests see of the rewrite job beyond its header.
#pragma once

#include <functional>

namespace nuv::testing {

// Called on the worker after every change of the job's state, elapsed time
// or progress, outside the job lock, so that a test can follow a job step by
// step. Null switches it off.
using RewriteObserver = std::function<void(int state, int elapsed, float progress)>;
void SetRewriteObserver(RewriteObserver observer);

}  // namespace nuv::testing
