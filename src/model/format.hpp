// The saved form of a model: a versioned binary format that is safe to read from untrusted
// bytes. Every size is checked against the bytes that remain before anything is allocated, the
// checksum is checked before any field is trusted, and every index is validated (children inside
// the node list and after their parent, every node but the root the child of exactly one node,
// features below n_features, classes below n_classes), so damaged or altered bytes raise
// FormatError and never lead to a read out of bounds or a walk that does not end.
//
// Layout of version 2, little-endian: the magic "LNDFMODL"; u32 version; u32 n_features; u32 task
// (0: classification); u32 n_outputs and a u32 class count per output; u32 n_trees; u64
// metadata size and the metadata bytes (kept for the caller, not interpreted); then per tree: u32
// node count and its nodes in order. A node is a u8 kind (0 leaf, 1 inner node whose NaN values
// go right, 2 inner node whose NaN values go left), u32 label, f64 weight, f64 impurity, u32
// rows; then for an inner node u32 feature, f32 threshold, u32 left, u32 right, and for a leaf
// u32 number of values and that many pairs of u32 flat class index and f64 value (indices
// ascending, values finite and above 0). Weights are finite and above 0, labels below the first
// output's class count. Last, a u64 FNV-1a checksum of everything before it.
//
// Version 1 (lindorf 0.1) had one output, whole-number u32 weights and f32 impurities, no rows,
// no inner labels and no NaN sides: u32 n_classes in place of the outputs; an inner node u8 1,
// u32 feature, f32 threshold, u32 left, u32 right, u32 weight, f32 impurity; a leaf u8 0, u32
// label, u32 weight, f32 impurity, u32 number of classes and that many pairs of u32 class and u32
// count (adding up to the weight, the label among them). This reader still reads it.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "model/model.hpp"

namespace lindorf {

inline constexpr std::uint32_t model_format_version = 2;

// Bytes that are not a model this version can read; the message says why.
class FormatError : public std::invalid_argument {
  public:
    using std::invalid_argument::invalid_argument;
};

std::vector<std::uint8_t> encode_model(const Model& model, std::string_view metadata);

struct DecodedModel {
    Model model;
    std::string metadata;
};

DecodedModel decode_model(std::span<const std::uint8_t> bytes);

// How far the model that `prefix` begins reaches: its whole size once the prefix reaches the
// start of its last node, otherwise the fewest bytes it can have (more than the prefix, never
// more than the model). The walk follows only the layout, so that a reader can take a model
// from a stream without reading past its end; decode_model checks the rest. FormatError once
// the prefix cannot begin a model.
struct ModelExtent {
    std::uint64_t size = 0;
    bool complete = false;  // whether `size` is the model's own
};

ModelExtent model_extent(std::span<const std::uint8_t> prefix);

}  // namespace lindorf
