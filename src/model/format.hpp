// The saved form of a model: a versioned binary format that is safe to read from untrusted
// bytes. Every size is checked against the bytes that remain before anything is allocated, the
// checksum is checked before any field is trusted, and every index is validated (children inside
// the node list and after their parent, every node but the root the child of exactly one node,
// features below n_features, classes below n_classes), so damaged or altered bytes raise
// FormatError and never lead to a read out of bounds or a walk that does not end.
//
// Layout, little-endian: the magic "LNDFMODL"; u32 version; u32 n_features; u32 n_classes;
// u32 n_trees; u64 metadata size and the metadata bytes (kept for the caller, not interpreted);
// then per tree: u32 node count and its nodes in order: a u8 kind, then for an inner node u32
// feature, f32 threshold, u32 left, u32 right, u32 weight, f32 impurity, and for a leaf u32
// label, u32 weight, f32 impurity, u32 number of classes present and that many pairs of u32
// class and u32 count (classes ascending, counts above 0 and adding up to the weight, the label
// among them). Last, a u64 FNV-1a checksum of everything before it.
//
// Version 1 stored a count for every class of the tree in every leaf; this reader refuses it.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "model/model.hpp"

namespace lindorf {

inline constexpr std::uint32_t model_format_version = 1;

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
