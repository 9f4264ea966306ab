#include "tests/platform/RegistryContract.h"
#include "platform/simulated/MemoryRegistry.h"

namespace veltrane {
namespace {

class MemoryUnderTest : public RegistryUnderTest {
 public:
  Registry& Current() override { return *registry; }
  std::shared_ptr<Registry> Reopen() override { return registry; }

 private:
  std::shared_ptr<MemoryRegistry> registry = std::make_shared<MemoryRegistry>();
};

INSTANTIATE_TEST_SUITE_P(Memory, RegistryContractTest,
                         testing::Values(RegistryMaker{
                             "Memory", [] { return std::make_unique<MemoryUnderTest>(); }}),
                         RegistryMakerName);

}  // namespace
}  // namespace veltrane
