#pragma once
// The texts of the core's internal failures (the messages Panic carries) and of its refusals for
// memory, in one place, as the binding layer's texts are in python/messages.hpp. Callers and tests
// match them byte for byte: never change one.

#include <string_view>

namespace tolvane {

// A failure to open or parse an input: this, then the error's own text.
inline constexpr std::string_view kUnwrapFailure = "called `Result::unwrap()` on an `Err` value: ";
// Reading a catalogue: this, then what went wrong.
inline constexpr std::string_view kReadFailure = "Something went wrong reading the file: ";
// A catalogue that is not UTF-8, after kReadFailure.
inline constexpr std::string_view kInvalidUtf8Failure =
    "Error { kind: InvalidData, message: \"stream did not contain valid UTF-8\" }";
// Writing a feature file: this, then what went wrong.
inline constexpr std::string_view kWriteFailure = "Error writing to file: ";
// What a write() that returns 0 is reported as: retried, it would spin for ever.
inline constexpr std::string_view kWriteZeroFailure =
    "Error { kind: WriteZero, message: \"failed to write whole buffer\" }";
// After a type name that matches no logical type.
inline constexpr std::string_view kNotALogicalType = " is not a valid logical type: ()";
// A root feature built without a schema: this, then its name.
inline constexpr std::string_view kSchemaMissing = "Error unwrapping schema in ";
// A candidate whose pairs contradict its signature's slots: a schema the signature lacks (A), or
// more pairs of a schema than it has slots (B); then the schema and the slots.
inline constexpr std::string_view kSlotMissing = "Error unwrapping A ";
inline constexpr std::string_view kSlotsExhausted = "Error unwrapping B ";
inline constexpr std::string_view kStartsOfDifferentLengths =
    "sha256_finish_blocks: starts of different lengths";
// A synthesis call refused for memory (raised as MemoryError): this, "more than " where the count
// does not fit 64 bits, the count, then kTooManyFeaturesEnd.
inline constexpr std::string_view kTooManyFeatures = "generate_features would create ";
inline constexpr std::string_view kTooManyFeaturesEnd = " new features, more than fit in memory";
// A Feature given base features without a primitive, or the reverse.
inline constexpr std::string_view kBasesWithoutPrimitive =
    "base_features and generating_primitive must be both None or both Some";
// Making the module: a class that could not be made (this, then its name), and a name that could
// not go into __all__.
inline constexpr std::string_view kClassCreationFailed =
    "An error occurred while initializing class ";
inline constexpr std::string_view kAllNotAppendable = "could not append __name__ to __all__";

}  // namespace tolvane
