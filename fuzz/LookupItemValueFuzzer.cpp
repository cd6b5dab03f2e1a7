// Item name against document, at the size a cell holds and at sizes that
// cut the value.
// input := item-name "\n" document
#include "FuzzSupport.h"
#include "LookupItemValue.h"

namespace {

const size_t kCellSize = 256;  // a published value with its NUL
const size_t kCutSizes[] = {1, 2, 9};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> fields = SplitFields(data, size, 2);
    HeapText item(fields[0]);
    HeapText document(fields[1]);

    OutBuffer full(kCellSize);
    bool found = LookupItemValue(full.get(), full.size, item.get(), document.get());
    if (!found) {
        FUZZ_CHECK(full.Untouched());
    } else {
        FUZZ_CHECK(full.Terminated());
        // Quotes are dropped and brackets end a value.
        FUZZ_CHECK(full.Text().find_first_of("\"[]}") == std::string::npos);
    }
    for (size_t cutSize : kCutSizes) {
        OutBuffer cut(cutSize);
        FUZZ_CHECK(LookupItemValue(cut.get(), cut.size, item.get(), document.get()) == found);
        if (!found) {
            FUZZ_CHECK(cut.Untouched());
            continue;
        }
        FUZZ_CHECK(cut.Terminated());
        FUZZ_CHECK(cut.Text() == full.Text().substr(0, cutSize - 1));
    }
    return 0;
}
