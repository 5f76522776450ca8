// vlt_bench, the walk pair: a whole containment tree read depth first, by the
// repository and by hand-written SQLite statements, from the same file.
//
//   BM_RepositoryWalkTree  findObject for the root, then per object its single
//                          values and references with getPropertyValue and
//                          its composite collections as std::vector<ObjectRef>
//   BM_RawSqliteWalkTree   prepared statements: the root by uuid, per object
//                          one SELECT joining its class tables, and for a
//                          container one SELECT of its owned objects in
//                          collection order
//
// The tree (about 100,000 objects, 6 levels) is generated from a fixed seed and
// written once per run through the public API. Both sides fold what they read
// into a check sum that must equal the one computed from the generated tree.

#include "BenchSupport.hpp"
#include "WalkTree.hpp"

#include <vlt/Repository.hpp>

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <boost/uuid/uuid.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#ifndef VLT_BASE_METAMODEL
#error "VLT_BASE_METAMODEL names the base metamodel file"
#endif

namespace {

using namespace vlt_bench;
using namespace vlt_bench::walk;

// ---------------------------------------------------------------- the repository walk

struct ValueRead {
  vlt::PropertyRef property;
  Cell cell;
};
struct ClassPlan {
  vlt::ClassRef cls;
  Kind kind;
  std::vector<ValueRead> values;              // walk.Node's first
  std::vector<vlt::PropertyRef> collections;  // in declaration order
};

struct RepositoryPlan {
  vlt::ClassRef node;  // for findObject
  std::vector<ClassPlan> classes;
};

// The classes and their properties, looked up once, as a program would keep
// them.
RepositoryPlan repositoryPlan(const vlt::DataModelRepository& repo) {
  RepositoryPlan plans;
  plans.node = repo.metamodel().findClass(nodeClassName);
  if (plans.node.isNull()) throw std::runtime_error(std::string("the file has no class ") + nodeClassName);
  for (const Kind kind : {folder, part, leaf}) {
    ClassPlan plan;
    plan.cls = repo.metamodel().findClass(classNames[kind]);
    plan.kind = kind;
    if (plan.cls.isNull()) throw std::runtime_error(std::string("the file has no class ") + classNames[kind]);
    for (const auto* shapes : {&nodeProperties(), &ownProperties(kind)}) {
      for (const PropertyShape& shape : *shapes) {
        const vlt::PropertyRef p = plan.cls.findProperty(shape.name);
        if (p.isNull()) throw std::runtime_error(std::string("the file has no property ") + shape.name);
        if (shape.composite) {
          plan.collections.push_back(p);
        } else {
          plan.values.push_back({p, shape.cell});
        }
      }
    }
    plans.classes.push_back(std::move(plan));
  }
  return plans;
}

// Walks the tree from the root, depth first, and returns the check sum and
// the number of objects visited.
std::uint64_t walkRepository(const vlt::DataModelRepository& repo, const RepositoryPlan& plans,
                             std::size_t& objects) {
  const vlt::ObjectRef root = repo.defaultDataModel().findObject(rootUuid, plans.node);
  if (root.isNull()) throw std::runtime_error("the repository finds no root");
  Checksum sum;
  std::int32_t i32 = 0;
  std::int64_t i64 = 0;
  std::u16string ustring;
  std::string string;
  vlt::Boolean flag;
  vlt::ObjectRef reference;
  std::vector<vlt::ObjectRef> stack{root}, owned, collection;
  objects = 0;
  while (!stack.empty()) {
    const vlt::ObjectRef o = std::move(stack.back());
    stack.pop_back();
    ++objects;
    const vlt::ClassRef cls = o.objectClass();
    const auto plan =
        std::find_if(plans.classes.begin(), plans.classes.end(), [&](const ClassPlan& p) { return p.cls == cls; });
    if (plan == plans.classes.end()) throw std::runtime_error("object of another class: " + cls.qualifiedName());
    sum.addInt32(o.objectId());
    sum.add(plan->kind);
    for (const ValueRead& v : plan->values) {
      switch (v.cell) {
        case Cell::int32:
          o.getPropertyValue(v.property, i32);
          sum.addInt32(i32);
          break;
        case Cell::int64:
          o.getPropertyValue(v.property, i64);
          sum.addInt64(i64);
          break;
        case Cell::ustring:
          o.getPropertyValue(v.property, ustring);
          sum.add(ustring);
          break;
        case Cell::string:
          o.getPropertyValue(v.property, string);
          sum.add(string);
          break;
        case Cell::boolean:
          o.getPropertyValue(v.property, flag);
          sum.add(flag ? 1 : 0);
          break;
        case Cell::reference:
          o.getPropertyValue(v.property, reference);
          sum.addInt32(reference.objectId());
          break;
      }
    }
    if (plan->collections.empty()) continue;
    owned.clear();
    for (const vlt::PropertyRef& p : plan->collections) {
      o.getPropertyValue(p, collection);
      owned.insert(owned.end(), collection.begin(), collection.end());
    }
    sum.add(owned.size());
    stack.insert(stack.end(), owned.rbegin(), owned.rend());
  }
  return sum.value();
}

// ---------------------------------------------------------------- the file, once per run

void countStatement(void* context, const char*) { ++*static_cast<std::size_t*>(context); }

struct WalkFile {
  std::string path;
  std::uint64_t expected = 0;
  std::size_t objects = 0;
  double repositoryStatementsPerObject = 0;
};

// The tree written once into a repository file, copied for each iteration.
// Writing it is checked by one walk through the repository, outside any
// timing, that also counts the statements the repository runs (trace).
const WalkFile& walkFile() {
  static TempFolder folder;
  static const WalkFile file = [] {
    WalkFile f;
    f.path = folder.file("tree.db");
    vlt::DataModelRepository repo;
    vlt::DataModelRepository::ServiceOptions options;
    options.createIfMissing = 1;
    repo.open(f.path, VLT_BASE_METAMODEL, options);
    f.expected = expectedChecksum(writeTree(repo));
    f.objects = objectCount();
    const RepositoryPlan plans = repositoryPlan(repo);
    std::size_t statements = 0, visited = 0;
    repo.beginTransaction();
    repo.setTraceCallback(&countStatement, &statements);
    const std::uint64_t sum = walkRepository(repo, plans, visited);
    repo.setTraceCallback(nullptr);
    repo.commitTransaction();
    if (sum != f.expected || visited != f.objects) {
      throw std::runtime_error("the written tree reads back differently (" + std::to_string(visited) + " objects)");
    }
    f.repositoryStatementsPerObject = static_cast<double>(statements) / static_cast<double>(visited);
    return f;
  }();
  return file;
}

// ---------------------------------------------------------------- the raw walk

// The statement and columns of one concrete class, found from the metamodel
// tables (vlt_class, vlt_property) and the repository's naming of tables and
// columns after ids; checked against the file so that another layout stops
// the benchmark instead of measuring something else.
struct RawClass {
  std::int64_t classId = 0;
  Kind kind = leaf;
  std::string select;       // the object's single values by id, walk.Node's first
  std::vector<Cell> cells;  // per column of `select`
  bool container = false;
};

std::int64_t lookUpId(sqlite3* db, const std::string& sql, const std::string& what) {
  const Statement s = prepare(db, sql);
  if (sqlite3_step(s.get()) != SQLITE_ROW) throw std::runtime_error("the file has no " + what);
  return sqlite3_column_int64(s.get(), 0);
}

std::vector<RawClass> rawClasses(sqlite3* db) {
  auto classId = [&](const char* name) {
    return lookUpId(db, std::string("SELECT id FROM vlt_class WHERE qualified_name = '") + name + "'",
                    std::string("class ") + name);
  };
  // The column of `p` in the table of class `owner`, checked to exist there.
  auto column = [&](std::int64_t owner, const PropertyShape& p) {
    const std::string table = "vlt_c" + std::to_string(owner);
    const std::string name =
        "p" + std::to_string(lookUpId(db,
                                      "SELECT id FROM vlt_property WHERE class_id = " + std::to_string(owner) +
                                          " AND name = '" + p.name + "'",
                                      std::string("property ") + p.name));
    lookUpId(db, "SELECT 1 FROM pragma_table_info('" + table + "') WHERE name = '" + name + "'",
             "column " + name + " in " + table + " (the repository's table layout is not the one this benchmark " +
                 "knows)");
    return name;
  };
  const std::int64_t node = classId(nodeClassName);
  std::vector<RawClass> out;
  for (const Kind kind : {folder, part, leaf}) {
    RawClass c;
    c.kind = kind;
    c.classId = classId(classNames[kind]);
    std::string columns;
    for (const PropertyShape& p : nodeProperties()) {
      columns += (columns.empty() ? "n." : ", n.") + column(node, p);
      c.cells.push_back(p.cell);
    }
    for (const PropertyShape& p : ownProperties(kind)) {
      if (p.composite) {
        c.container = true;
        continue;
      }
      columns += ", c." + column(c.classId, p);
      c.cells.push_back(p.cell);
    }
    c.select = "SELECT " + columns + " FROM vlt_c" + std::to_string(node) + " n JOIN vlt_c" +
               std::to_string(c.classId) + " c ON c.id = n.id WHERE n.id = ?1";
    out.push_back(std::move(c));
  }
  return out;
}

struct RawObject {
  std::int64_t id;
  std::int64_t classId;
};

// Walks the tree as walkRepository does, with statements prepared once;
// `statements` counts the statements run.
std::uint64_t walkRaw(sqlite3* db, const std::vector<RawClass>& classes, std::size_t& objects,
                      std::size_t& statements) {
  std::vector<Statement> selects;
  for (const RawClass& c : classes) selects.push_back(prepare(db, c.select));
  const Statement rootSelect = prepare(db, "SELECT id, class_id FROM vlt_object WHERE uuid = ?1");
  const Statement ownedSelect =
      prepare(db, "SELECT id, class_id FROM vlt_object WHERE owner_id = ?1 ORDER BY owner_property_id, ordinal, id");
  sqlite3_stmt* const r = rootSelect.get();
  sqlite3_stmt* const o = ownedSelect.get();

  Checksum sum;
  std::u16string ustring;
  std::string string;
  std::vector<RawObject> stack, owned;
  sqlite3_bind_blob(r, 1, rootUuid.data, 16, SQLITE_STATIC);
  step(db, r, SQLITE_ROW);
  stack.push_back({sqlite3_column_int64(r, 0), sqlite3_column_int64(r, 1)});
  sqlite3_reset(r);
  statements = 1;
  objects = 0;
  while (!stack.empty()) {
    const RawObject object = stack.back();
    stack.pop_back();
    ++objects;
    std::size_t k = 0;
    while (k < classes.size() && classes[k].classId != object.classId) ++k;
    if (k == classes.size()) throw std::runtime_error("object of another class: " + std::to_string(object.classId));
    const RawClass& cls = classes[k];
    sqlite3_stmt* const s = selects[k].get();
    sum.addInt32(static_cast<std::int32_t>(object.id));
    sum.add(cls.kind);
    sqlite3_bind_int64(s, 1, object.id);
    step(db, s, SQLITE_ROW);
    ++statements;
    for (std::size_t i = 0; i < cls.cells.size(); ++i) {
      const int column = static_cast<int>(i);
      switch (cls.cells[i]) {
        case Cell::int32:
        case Cell::reference:  // the target's id; NULL reads as 0
          sum.addInt32(static_cast<std::int32_t>(sqlite3_column_int64(s, column)));
          break;
        case Cell::int64:
          sum.addInt64(sqlite3_column_int64(s, column));
          break;
        case Cell::ustring: {
          const auto* text = static_cast<const char16_t*>(sqlite3_column_text16(s, column));
          ustring.assign(text, static_cast<std::size_t>(sqlite3_column_bytes16(s, column)) / 2);
          sum.add(ustring);
          break;
        }
        case Cell::string:
          string.assign(reinterpret_cast<const char*>(sqlite3_column_text(s, column)),
                        static_cast<std::size_t>(sqlite3_column_bytes(s, column)));
          sum.add(string);
          break;
        case Cell::boolean:
          sum.add(sqlite3_column_int64(s, column) != 0 ? 1 : 0);
          break;
      }
    }
    sqlite3_reset(s);
    if (!cls.container) continue;
    owned.clear();
    sqlite3_bind_int64(o, 1, object.id);
    int rc = 0;
    while ((rc = sqlite3_step(o)) == SQLITE_ROW) {
      owned.push_back({sqlite3_column_int64(o, 0), sqlite3_column_int64(o, 1)});
    }
    if (rc != SQLITE_DONE) sqliteFailed(db, sqlite3_sql(o));
    sqlite3_reset(o);
    ++statements;
    sum.add(owned.size());
    stack.insert(stack.end(), owned.rbegin(), owned.rend());
  }
  return sum.value();
}

// ---------------------------------------------------------------- benchmarks

void BM_RepositoryWalkTree(benchmark::State& state) {
  std::size_t objects = 0;
  try {
    const WalkFile& file = walkFile();
    for (auto _ : state) {
      TempFolder folder;
      const std::string path = folder.file("walk.db");
      fs::copy_file(file.path, path);
      vlt::DataModelRepository repo;
      openRepository(repo, path);
      const RepositoryPlan plans = repositoryPlan(repo);

      const Stopwatch watch;
      repo.beginTransaction();
      const std::uint64_t sum = walkRepository(repo, plans, objects);
      repo.commitTransaction();
      watch.stop(state, "BM_RepositoryWalkTree");

      if (sum != file.expected || objects != file.objects) {
        throw std::runtime_error("the repository walk read another tree than the one written");
      }
    }
    timings()["BM_RepositoryWalkTree"].statementsPerObject = file.repositoryStatementsPerObject;
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * objects));
}

void BM_RawSqliteWalkTree(benchmark::State& state) {
  std::size_t objects = 0, statements = 0;
  try {
    const WalkFile& file = walkFile();
    for (auto _ : state) {
      TempFolder folder;
      const std::string path = folder.file("walk.db");
      fs::copy_file(file.path, path);
      const Database db = openRaw(path);
      const std::vector<RawClass> classes = rawClasses(db.get());

      const Stopwatch watch;
      execute(db.get(), "BEGIN");
      const std::uint64_t sum = walkRaw(db.get(), classes, objects, statements);
      execute(db.get(), "COMMIT");
      watch.stop(state, "BM_RawSqliteWalkTree");

      if (sum != file.expected || objects != file.objects) {
        throw std::runtime_error("the raw walk read another tree than the one written");
      }
    }
    timings()["BM_RawSqliteWalkTree"].statementsPerObject =
        static_cast<double>(statements) / static_cast<double>(objects);
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * objects));
}

// One iteration per repetition, interleaved with the other benchmarks' (see
// main).
BENCHMARK(BM_RepositoryWalkTree)->Iterations(1)->Repetitions(10)->ReportAggregatesOnly()->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawSqliteWalkTree)->Iterations(1)->Repetitions(10)->ReportAggregatesOnly()->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

