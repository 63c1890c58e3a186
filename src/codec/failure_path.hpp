#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>

namespace velunda::codec {

// Where in a record a read failed, gathered while the failure unwinds: each enclosing field,
// variant and list element adds its step on the way out, innermost first. Nothing is recorded
// on success, and the steps are left uninitialised until used, so a decode that succeeds pays
// nothing for them. Records nest a dozen steps deep at most; the room is fixed so that a
// failure never allocates.
class FailurePath {
public:
    void add_name(std::string_view name) { add({name.data(), name.size(), 0}); }
    void add_index(std::uint64_t index) { add({nullptr, 0, index}); }

    // "adcp.series[3].CurrentProfile.velocity[17][2]"
    std::string text() const {
        std::string text;
        for (std::size_t step = count_; step-- > 0;) {
            const Step& at = steps_[step];
            if (at.name == nullptr) {
                text += '[';
                text += std::to_string(at.index);
                text += ']';
            } else {
                if (!text.empty()) text += '.';
                text.append(at.name, at.name_size);
            }
        }
        return text;
    }

private:
    struct Step {
        const char* name;  // null for a list or array index
        std::size_t name_size;
        std::uint64_t index;
    };

    void add(Step step) {
        if (count_ < std::size(steps_)) steps_[count_++] = step;
    }

    Step steps_[32];
    std::size_t count_ = 0;
};

}  // namespace velunda::codec
