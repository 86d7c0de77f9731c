// The card map: a well-formed SVG (read back with libxml2) whose cells match
// the card, cell by cell.
#include "tools/cardcheck/CardPicture.h"
#include "tests/tools/HostileCards.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <map>
#include <memory>

namespace kelvara::testing {
namespace {

struct Cell {
    std::map<std::string, std::string> attributes;
    std::string title;
};

std::string Attribute(xmlNode *node, const char *name)
{
    xmlChar *value = xmlGetProp(node, reinterpret_cast<const xmlChar *>(name));
    if (value == nullptr)
        return {};
    std::string out(reinterpret_cast<const char *>(value));
    xmlFree(value);
    return out;
}

void Collect(xmlNode *node, std::map<int, Cell> &cells, int &crosses)
{
    for (xmlNode *n = node; n != nullptr; n = n->next) {
        if (n->type != XML_ELEMENT_NODE)
            continue;
        const std::string name(reinterpret_cast<const char *>(n->name));
        const std::string page = name == "rect" ? Attribute(n, "data-page") : std::string();
        if (!page.empty()) {
            Cell cell;
            for (const char *a : {"data-role", "data-file", "data-damage", "x", "y", "fill"})
                cell.attributes[a] = Attribute(n, a);
            for (xmlNode *c = n->children; c != nullptr; c = c->next) {
                if (c->type == XML_ELEMENT_NODE && std::string(reinterpret_cast<const char *>(c->name)) == "title") {
                    xmlChar *text = xmlNodeGetContent(c);
                    cell.title = reinterpret_cast<const char *>(text);
                    xmlFree(text);
                }
            }
            EXPECT_TRUE(cells.emplace(std::stoi(page), cell).second) << "page " << page << " drawn twice";
        }
        if (name == "g" && Attribute(n, "id") == "damage") {
            for (xmlNode *c = n->children; c != nullptr; c = c->next)
                crosses += c->type == XML_ELEMENT_NODE ? 1 : 0;
        }
        Collect(n->children, cells, crosses);
    }
}

// Parses the picture strictly (any error fails the test) and returns its cells.
std::map<int, Cell> Cells(const std::string &svg, int *crosses = nullptr)
{
    std::map<int, Cell> cells;
    std::unique_ptr<xmlDoc, void (*)(xmlDoc *)> doc(
        xmlReadMemory(svg.data(), static_cast<int>(svg.size()), "card.svg", nullptr, XML_PARSE_NONET), xmlFreeDoc);
    EXPECT_NE(doc, nullptr) << "the picture is not well-formed XML";
    if (!doc)
        return cells;
    xmlNode *root = xmlDocGetRootElement(doc.get());
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(root->name)), "svg");
    int found = 0;
    Collect(root, cells, found);
    if (crosses != nullptr)
        *crosses = found;
    return cells;
}

TEST(CardPicture, EveryPageIsOneCellShowingWhatTheCardHolds)
{
    SampleCard s;
    const check::CardReport report = s.Check();
    const std::map<int, Cell> cells = Cells(check::DrawCard(report));
    ASSERT_EQ(cells.size(), 2048u);

    // What each page holds, from the card file system itself.
    std::map<int, std::pair<std::string, int>> filePages; // page -> name, part
    for (const auto &[name, content] : s.contents) {
        const std::vector<int> pages = s.PagesOf(name);
        for (std::size_t i = 0; i < pages.size(); ++i)
            filePages[pages[i]] = {name, static_cast<int>(i)};
    }
    for (int p = 0; p < 2048; ++p) {
        const Cell &cell = cells.at(p);
        std::string role = "free";
        if (p == 0)
            role = "bit-table";
        else if (p == 2047)
            role = "bit-table-backup";
        else if (p == 2032)
            role = "index-backup";
        else if (p > 2032)
            role = "spare-backup";
        else if (p == s.IndexPage())
            role = "index";
        else if (filePages.count(p) != 0)
            role = "file";
        else if (!s.fs.PageIsFree(p))
            role = "leaked";
        EXPECT_EQ(cell.attributes.at("data-role"), role) << "page " << p;
        // Cells sit in rows of 64, in page order.
        EXPECT_EQ(std::stoi(cell.attributes.at("x")), 44 + (p % 64) * 12) << "page " << p;
        EXPECT_EQ(std::stoi(cell.attributes.at("y")), 40 + (p / 64) * 12) << "page " << p;
        if (role == "file") {
            const auto &[name, part] = filePages.at(p);
            EXPECT_EQ(cell.attributes.at("data-file"), name);
            EXPECT_EQ(cell.title,
                      "page " + std::to_string(p) + ": " + name + " (part " + std::to_string(part + 1) + " of " +
                          std::to_string(s.PagesOf(name).size()) + ")");
        } else {
            EXPECT_EQ(cell.attributes.at("data-file"), "") << "page " << p;
        }
        EXPECT_EQ(cell.attributes.at("data-damage"), "") << "page " << p;
    }
    // A file keeps one colour, and two files differ.
    const std::vector<int> a = s.PagesOf("\\tax\\return.xml"), b = s.PagesOf("\\tax\\receipts.bin");
    EXPECT_EQ(cells.at(a[0]).attributes.at("fill"), cells.at(a[2]).attributes.at("fill"));
    EXPECT_NE(cells.at(a[0]).attributes.at("fill"), cells.at(b[0]).attributes.at("fill"));
    EXPECT_NE(cells.at(a[0]).attributes.at("fill"), cells.at(1000).attributes.at("fill"));
}

TEST(CardPicture, DamageIsMarkedOnlyWhereItIs)
{
    SampleCard s;
    const int leaked = 300;
    s.SetFree(leaked, false);
    const int bad = s.PagesOf("\\notes.txt")[0];
    s.card.CorruptPage(bad, 1);
    const check::CardReport report = s.Check();
    int crosses = 0;
    const std::map<int, Cell> cells = Cells(check::DrawCard(report, {"fsck", true}), &crosses);
    ASSERT_EQ(cells.size(), 2048u);
    EXPECT_EQ(crosses, 1);
    EXPECT_EQ(cells.at(bad).attributes.at("data-damage"), "bad checksum");
    EXPECT_NE(cells.at(bad).title.find(" - bad checksum"), std::string::npos);
    EXPECT_EQ(cells.at(leaked).attributes.at("data-role"), "leaked");
    for (const auto &[page, cell] : cells) {
        if (page != bad) {
            EXPECT_EQ(cell.attributes.at("data-damage"), "") << "page " << page;
        }
    }
    // Without damage drawn, the same card shows no marks.
    const std::map<int, Cell> plain = Cells(check::DrawCard(report), &crosses);
    EXPECT_EQ(crosses, 0);
    EXPECT_EQ(plain.at(bad).attributes.at("data-damage"), "");
}

TEST(CardPicture, NamesThatAreNotXmlStayWellFormed)
{
    const struct {
        std::string name;
        std::string shown;
    } cases[] = {
        {"\\<b>&\"x'\x01\xFF\xC3\xA9.bin", "\\<b>&\"x'\\x01\\xFF\xC3\xA9.bin"},
        {"\\a\xEF\xBF\xBE.bin", "\\a\xEF\xBF\xBD.bin"}, // U+FFFE
        {"\\a\xEF\xBF\xBF", "\\a\xEF\xBF\xBD"}, // U+FFFF
        {"\\a\xED\xA0\x80", "\\a\\xED\\xA0\\x80"}, // a lone surrogate
        {"\\a\xC0\xAF", "\\a\\xC0\\xAF"}, // an overlong '/'
        {"\\a\tb\x1F\x7F\xC2\x85", "\\a\\x09b\\x1F\\x7F\\xC2\\x85"}, // C0, DEL, C1
        {"\\a\xEF\xBF\xBD\xF4\x8F\xBF\xBF", "\\a\xEF\xBF\xBD\xF4\x8F\xBF\xBF"}, // U+FFFD, U+10FFFF
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.shown);
        SampleCard s;
        const std::vector<int> pages = s.PagesOf("\\tax\\receipts.bin");
        s.RenameRecord(1, c.name);
        const check::CardReport report = s.Check();
        ASSERT_TRUE(report.Clean());
        const std::map<int, Cell> cells = Cells(check::DrawCard(report, {"a <title> & " + c.name, true}));
        ASSERT_EQ(cells.size(), 2048u);
        EXPECT_EQ(cells.at(pages[0]).attributes.at("data-file"), c.shown);
    }
}

TEST(CardPicture, ACardWithoutBitTableIsDrawnAsUnknown)
{
    SampleCard s;
    s.card.CorruptPage(0, 1);
    s.card.CorruptPage(2047, 1);
    const std::map<int, Cell> cells = Cells(check::DrawCard(s.Check(), {"lost", true}));
    ASSERT_EQ(cells.size(), 2048u);
    EXPECT_EQ(cells.at(500).attributes.at("data-role"), "unknown");
    EXPECT_EQ(cells.at(0).attributes.at("data-damage"), "bad checksum");
}

} // namespace
} // namespace kelvara::testing
