#include "scan/ed_name_filter.h"

#include <utility>

namespace {

void add_byte(std::array<uint64_t, 4> &set, unsigned value) {
    set[value >> 6] |= uint64_t{1} << (value & 63);
}

bool holds(const std::array<uint64_t, 4> &set, unsigned char value) {
    return (set[value >> 6] >> (value & 63) & 1) != 0;
}

// Reads the set whose '[' is at `open` into `set`: the index just past its
// closing ']', or 0 when it is not well formed (no closing ']', or a range
// whose end comes before its start).
size_t read_set(std::string_view text, size_t open, std::array<uint64_t, 4> &set) {
    const size_t size = text.size();
    size_t j = open + 1;
    const bool negated = j < size && (text[j] == '!' || text[j] == '^');
    if (negated)
        ++j;
    for (bool first = true; j < size; first = false) {
        const unsigned char low = static_cast<unsigned char>(text[j]);
        if (low == ']' && !first) {
            if (negated)
                for (uint64_t &word : set)
                    word = ~word;
            return j + 1;
        }
        if (j + 2 < size && text[j + 1] == '-' && text[j + 2] != ']') {
            const unsigned char high = static_cast<unsigned char>(text[j + 2]);
            if (high < low)
                return 0;
            for (unsigned b = low; b <= high; ++b)
                add_byte(set, b);
            j += 3;
        } else {
            add_byte(set, low);
            ++j;
        }
    }
    return 0;
}

} // namespace

void ed_name_filter::add(std::string_view text) {
    pattern compiled;
    compiled.text.assign(text);
    std::vector<byte_set> sets;
    bool wild = false;
    bool well_formed = true;
    for (size_t i = 0; i < text.size() && well_formed;) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '*') {
            wild = true;
            // A run of stars is one star.
            if (compiled.steps.empty() || compiled.steps.back().kind != step_kind::any_run)
                compiled.steps.push_back(step{step_kind::any_run, 0});
            ++i;
        } else if (c == '?') {
            wild = true;
            compiled.steps.push_back(step{step_kind::any_one, 0});
            ++i;
        } else if (c == '[') {
            byte_set set{};
            const size_t end = read_set(text, i, set);
            well_formed = end != 0;
            wild = true;
            compiled.steps.push_back(
                step{step_kind::one_of, 0, static_cast<uint32_t>(sets_.size() + sets.size())});
            sets.push_back(set);
            i = end;
        } else {
            compiled.steps.push_back(step{step_kind::exact, c});
            ++i;
        }
    }
    // Without wildcards, or not well formed: compared as text.
    compiled.literal = !wild || !well_formed;
    if (compiled.literal) {
        compiled.steps.clear();
        compiled.steps.shrink_to_fit();
        sets.clear();
    }
    sets_.insert(sets_.end(), sets.begin(), sets.end());
    patterns_.push_back(std::move(compiled));
}

bool ed_name_filter::match_steps(const pattern &p, std::string_view name) const noexcept {
    const std::vector<step> &steps = p.steps;
    constexpr size_t kNone = static_cast<size_t>(-1);
    size_t s = 0;
    size_t n = 0;
    // The step after the latest star, and the name position that star's run
    // ends at for now. On a mismatch the run grows by one byte and matching
    // resumes there. Earlier stars never need to take more: whatever the
    // latest star can skip, it skips itself.
    size_t resume_step = kNone;
    size_t resume_name = 0;
    while (n < name.size()) {
        if (s < steps.size()) {
            const step &st = steps[s];
            if (st.kind == step_kind::any_run) {
                resume_step = ++s;
                resume_name = n;
                continue;
            }
            const unsigned char c = static_cast<unsigned char>(name[n]);
            const bool one = st.kind == step_kind::any_one ||
                             (st.kind == step_kind::exact && st.value == c) ||
                             (st.kind == step_kind::one_of && holds(sets_[st.set], c));
            if (one) {
                ++s;
                ++n;
                continue;
            }
        }
        if (resume_step == kNone)
            return false;
        s = resume_step;
        n = ++resume_name;
    }
    while (s < steps.size() && steps[s].kind == step_kind::any_run)
        ++s;
    return s == steps.size();
}

bool ed_name_filter::matches(std::string_view name) const noexcept {
    for (const pattern &p : patterns_) {
        if (p.literal ? p.text == name : match_steps(p, name))
            return true;
    }
    return false;
}
