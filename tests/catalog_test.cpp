// Recognising printers by the model string they report.
#include <fstream>
#include <string>
#include <vector>

#include "install/catalog.h"
#include "tests/test_support.h"

namespace {

std::vector<std::wstring> ShippedModels() {
    std::ifstream in(TESTS_DATA_DIR "/models.txt");
    std::vector<std::wstring> models;
    std::string line;
    while (std::getline(in, line))
        if (!line.empty())
            models.emplace_back(line.begin(), line.end());
    return models;
}

TEST(Catalog, TableHoldsTheModelListInOrderWithATerminatingRow) {
    std::vector<std::wstring> models = ShippedModels();
    ASSERT_EQ(218u, models.size());
    for (size_t i = 0; i < models.size(); ++i) {
        ASSERT_NE(nullptr, ModelCatalog[i].Model) << i;
        EXPECT_EQ(models[i], ModelCatalog[i].Model);
        EXPECT_STREQ(L"Corvane", ModelCatalog[i].Manufacturer);
        EXPECT_EQ(0, ModelCatalog[i].Options);
    }
    EXPECT_EQ(nullptr, ModelCatalog[218].Model);
    EXPECT_EQ(nullptr, ModelCatalog[218].Manufacturer);
}

TEST(Catalog, EveryModelMatchesJoinedAndSpacedToItsOwnRow) {
    for (const CatalogEntry *e = ModelCatalog; e->Model; ++e) {
        std::wstring model = e->Model;
        EXPECT_EQ(e, MatchCatalogEntry((L"Corvane" + model).c_str())) << std::string(model.begin(), model.end());
        EXPECT_EQ(e, MatchCatalogEntry((L"Corvane " + model).c_str())) << std::string(model.begin(), model.end());
    }
}

TEST(Catalog, NearMissesDoNotMatch) {
    EXPECT_EQ(nullptr, MatchCatalogEntry(nullptr));
    EXPECT_EQ(nullptr, MatchCatalogEntry(L""));
    EXPECT_EQ(nullptr, MatchCatalogEntry(L"Corvane"));
    EXPECT_EQ(nullptr, MatchCatalogEntry(L"Corvane  LD-2040"));
    EXPECT_EQ(nullptr, MatchCatalogEntry(L"Corvane LD-2040 "));
    EXPECT_EQ(nullptr, MatchCatalogEntry(L" Corvane LD-2040"));
    EXPECT_EQ(nullptr, MatchCatalogEntry(L"corvane LD-2040"));
    EXPECT_EQ(nullptr, MatchCatalogEntry(L"Corvane ld-2040"));
    EXPECT_EQ(nullptr, MatchCatalogEntry(L"LD-2040"));
    EXPECT_EQ(nullptr, MatchCatalogEntry(L"Corvane LD-204"));
}

TEST(Catalog, ModelNamesWithABlankMatchInBothForms) {
    const CatalogEntry *e = MatchCatalogEntry(L"Corvane LD-2040 Plus");
    ASSERT_NE(nullptr, e);
    EXPECT_STREQ(L"LD-2040 Plus", e->Model);
    EXPECT_EQ(e, MatchCatalogEntry(L"CorvaneLD-2040 Plus"));
    EXPECT_EQ(nullptr, MatchCatalogEntry(L"Corvane LD-2040Plus"));
}

}  // namespace
