// quickstart FILE: books written to a new SQLite file by one model, read back by another.
#include <vlt_datasource/DataSource.hpp>

#include <fl/i18n/Unicode.hpp>
#include <qm/zero/Model.hpp>
#include <qm/zero/ModelElement.hpp>
#include <qm/zero/meta/MetaRegistry.hpp>
#include <qm/zero/meta/PackageBuilder.hpp>
#include <qm/zero/meta/StandardTypes.hpp>
#include <qm/zero/query/ReflectiveQuery.hpp>

#include <filesystem>
#include <iostream>

using namespace qm::zero;
using vlt_datasource::DataSource;
using meta::StandardTypes;

int main(int argc, char** argv) {
  if (argc != 2) return std::cerr << "usage: quickstart FILE\n", 2;
  std::filesystem::remove(argv[1]);  // start from a new file
  const std::u16string connection = fl::i18n::utf8_to_ustring(argv[1]) + u"?wal=true";

  // A metamodel package, registered once per process: class Book { title: String; pages: Integer }.
  meta::PackageBuilder package(u"shop", u"http://example.com/shop", u"1.0");
  const meta::Class book = package.addClass(u"Book");
  const meta::Property title = package.addProperty(book, u"title", StandardTypes::stringMeta());
  const meta::Property pages = package.addProperty(book, u"pages", StandardTypes::integerMeta());
  meta::MetaRegistry::getInstance()->registerPackage(package.build());

  {  // A model whose data source writes each committed transaction to the file.
    Model model = Model::create();
    DataSource::create(connection, model, DataSource::NoSyncToModel, DataSource::SyncAllToDataSource,
                       DataSource::Synchronous);
    Transaction tx = model->beginTransaction();
    for (const auto& [name, count] : {std::pair(u"Dune", 612), std::pair(u"Emma", 474)}) {
      ModelElement b = ModelElement::createReflective(model, book);
      b.set(title, Value(StandardTypes::stringMeta(), std::u16string(name)));
      b.set(pages, Value(StandardTypes::integerMeta(), std::int32_t(count)));
    }
    tx.commit();
  }  // the model closes its data source

  // A new model on the same file: the books longer than 500 pages, loaded as the query reads them.
  Model model = Model::create();
  DataSource::create(connection, model, DataSource::NoSyncToModel, DataSource::NoSyncToDataSource,
                     DataSource::Synchronous);
  std::unique_ptr<query::ReflectiveQuery> q = model->getDataSource()->createQuery();
  const std::size_t books = q->addSearchClass(book, query::WithSubclasses);
  q->addPropertyValueConstraint(pages, query::Greater, Value(StandardTypes::integerMeta(), std::int32_t(500)), books);
  std::vector<std::u16string> found;
  std::unique_ptr<query::ReflectiveQuery::ResultIterator> rows = q->execute({});
  for (std::vector<ModelElement> row; rows->next(row);) found.push_back(row[0].get(title).get<std::u16string>());
  for (const std::u16string& name : found) std::cout << fl::i18n::ustring_to_utf8(name) << '\n';
  return found == std::vector<std::u16string>{u"Dune"} && q->count() == 1 ? 0 : 1;
}
