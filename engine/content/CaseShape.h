#pragma once

// A replacement written in the case shape of the occurrence it replaces, so
// that one pass turns `foo_bar`, `FooBar` and `FOO_BAR` each into its own
// form of the new name, in any script.

#include <string>
#include <string_view>

namespace tarnwick {

// `replacement` shaped like `occurrence`, by the first rule that fits: all
// small letters → small; all capitals (one alone too) → capitals; a capital
// and then small letters only → Capitalized (its first character in title
// case, where it has one, the rest small); where both split into as many
// pieces (at "-", "_" and where a small letter meets a capital: fooBar,
// foo_bar, Foo-Bar), piece by piece by those rules; anything else → as typed.
// Letters are mapped one to one by Unicode's simple case mappings, and a
// sigma made small at the end of a word is the final ς.
std::u16string InCaseOf(std::u16string_view occurrence, std::u16string_view replacement);

}  // namespace tarnwick
