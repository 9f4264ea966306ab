// The simulated scheduler against the contract, with processors 1 and 2 of a process that
// may not use processor 0, so that a mask given back is told from the process's.

#include <memory>

#include "platform/simulated/SimulatedScheduler.h"
#include "tests/platform/SchedulerContract.h"

namespace veltrane {
namespace {

INSTANTIATE_TEST_SUITE_P(Simulated, SchedulerContractTest,
                         testing::Values(SchedulerContractParam{
                             "Simulated", [] { return std::make_shared<SimulatedScheduler>(0b110u); }}),
                         SchedulerContractName);

}  // namespace
}  // namespace veltrane
