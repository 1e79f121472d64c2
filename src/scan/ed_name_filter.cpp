#include "scan/ed_name_filter.h"

#include <utility>

namespace {

void add_byte(std::array<uint64_t, 4> &set, unsigned byte) {
    set[byte >> 6] |= uint64_t{1} << (byte & 63);
}

bool holds(const std::array<uint64_t, 4> &set, unsigned char byte) {
    return (set[byte >> 6] >> (byte & 63) & 1) != 0;
}

} // namespace

void ed_name_filter::add(std::string_view text) {
    pattern compiled;
    compiled.text.assign(text);
    std::vector<byte_set> sets;
    bool wild = false;
    bool well_formed = true;
    const size_t size = text.size();
    for (size_t i = 0; i < size && well_formed;) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '*') {
            wild = true;
            // A run of stars is one star.
            if (compiled.steps.empty() || compiled.steps.back().kind != step_kind::any_run)
                compiled.steps.push_back(step{step_kind::any_run, 0});
            ++i;
        } else if (c == '?') {
            wild = true;
            compiled.steps.push_back(step{step_kind::any_byte, 0});
            ++i;
        } else if (c == '[') {
            byte_set set{};
            size_t j = i + 1;
            const bool negated = j < size && (text[j] == '!' || text[j] == '^');
            if (negated)
                ++j;
            bool closed = false;
            for (bool first = true; j < size; first = false) {
                const unsigned char low = static_cast<unsigned char>(text[j]);
                if (low == ']' && !first) {
                    closed = true;
                    ++j;
                    break;
                }
                if (j + 2 < size && text[j + 1] == '-' && text[j + 2] != ']') {
                    const unsigned char high = static_cast<unsigned char>(text[j + 2]);
                    if (high < low)
                        break; // a range backwards: not well formed
                    for (unsigned b = low; b <= high; ++b)
                        add_byte(set, b);
                    j += 3;
                } else {
                    add_byte(set, low);
                    ++j;
                }
            }
            if (!closed) {
                well_formed = false;
                break;
            }
            if (negated)
                for (uint64_t &word : set)
                    word = ~word;
            wild = true;
            compiled.steps.push_back(
                step{step_kind::set, 0, static_cast<uint32_t>(sets_.size() + sets.size())});
            sets.push_back(set);
            i = j;
        } else {
            compiled.steps.push_back(step{step_kind::byte, c});
            ++i;
        }
    }
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
            const bool one = st.kind == step_kind::any_byte ||
                             (st.kind == step_kind::byte && st.byte == c) ||
                             (st.kind == step_kind::set && holds(sets_[st.set], c));
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
