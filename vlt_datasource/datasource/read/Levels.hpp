#pragma once
// DataSource::Loader::ChildLevel: an unbounded load by levels, the children
// of many owners read by one statement.

#include "datasource/read/ChildLinks.hpp"
#include "datasource/read/Loader.hpp"

#include <cstddef>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

namespace vlt_datasource {

// The objects that one statement of an unbounded load made (the children of
// up to maxObjectsAmong owners), in the order they are filled. Their own
// children are read for many of them at once, from the first whose turn it
// is onwards, so that a level of a tree costs a statement per
// maxObjectsAmong owners and composite property instead of one per owner
// (on a server, a round trip each). The children wait, made but not
// filled, until their owner's turn; what a statement read goes with its
// last waiting group.
//
// Per composite property, each owner of a level (by its position k) goes
// through:
//
//   state    done[k]  waiting[k]                  left by
//   unread   false    empty                       its turn, or an earlier owner's: one statement reads
//                                                 its children with the next unread owners' (takeTurn)
//   read     true     its children, made, with    its turn (loadChildrenOfLevel): the children are
//                     the statement that read     handed to fillOrLeave, each with its place in the
//                     them (readBy)               next level, the statement's children
//   taken    true     empty, readBy null          -
//
// An owner without children stays without readBy once read. An owner whose
// class lacks the property is passed over unless it is the one whose turn
// it is.
struct DataSource::Loader::ChildLevel {
  struct Statement {
    std::shared_ptr<ChildLevel> children;  // as the next level's owners
    ChildLinks links;
  };
  struct Waiting {
    std::vector<vlt::ObjectRef> objects;
    std::vector<StartedFetch> started;
    std::shared_ptr<Statement> readBy;  // null: none, or taken
    std::size_t first = 0;              // the position of the first in readBy->children
  };
  struct Read {
    std::vector<bool> done;        // by owner position
    std::vector<Waiting> waiting;  // by owner position
  };
  /// The owners whose children one statement reads: their positions by
  /// object id.
  using Positions = std::unordered_map<vlt::ObjectId, std::size_t>;

  /// The states of the owners for `propRef`, every one unread at first.
  Read& readOf(const vlt::PropertyRef& propRef);
  /// Marks read the owner at `position` and the next unread ones of a class
  /// with `propRef`, up to vlt::ObjectQuery::maxObjectsAmong, listing them
  /// in `owners` and `positions`.
  void takeTurn(std::size_t position, const vlt::PropertyRef& propRef, Read& read,
                std::vector<vlt::ObjectRef>& owners, Positions& positions) const;
  /// Lists the children `statement` read in the order they are filled,
  /// owner by owner, as the owners of the next level.
  static void orderNextLevel(const std::vector<vlt::ObjectRef>& owners, const Positions& positions, Read& read,
                             Statement& statement);

  std::vector<vlt::ObjectRef> owners;
  std::map<vlt::PropertyRef, Read> reads;
};

}  // namespace vlt_datasource
