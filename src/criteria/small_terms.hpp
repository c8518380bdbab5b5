// Each small count's term of a sum over classes for one size, worked out once: where most classes
// hold a few rows, such a sum asks for the same few terms again and again.
#pragma once

#include <array>
#include <cstdint>
#include <type_traits>

namespace lindorf {

// `term(count)` for counts of 1 and more, kept for those below 16 once asked. The term of a count
// of 0 is +0, which leaves a sum of terms of one sign (starting at +0, none -0) as it is, so an
// absent class needs no branch, which about half the classes of a side would take at random.
template <class Value, class Term>
class SmallTerms {
  public:
    explicit SmallTerms(Term term) : term_(term) { terms_[0] = Value{0}; }

    Value operator()(std::uint64_t count) {
        if (count >= terms_.size()) return term_(count);
        if ((known_ >> count & 1) == 0) {
            terms_[count] = term_(count);
            known_ |= 1u << count;
        }
        return terms_[count];
    }

  private:
    Term term_;
    std::array<Value, 16> terms_;
    std::uint32_t known_ = 1;
};

template <class Term>
SmallTerms(Term) -> SmallTerms<std::invoke_result_t<Term, std::uint64_t>, Term>;

}  // namespace lindorf
