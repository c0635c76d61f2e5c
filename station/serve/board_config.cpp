#include "station/serve/board_config.h"

#include "station/serve/table_reader.h"

namespace korvastation {

using korvasim::Result;

namespace {

Result read_nets(const std::string& path, TableReader& board, const BoardSetup& config,
                 std::map<std::string, std::string>* nets)
{
    const toml::table* table = nullptr;
    KORVA_TRY(board.table("nets", "[board.nets]", &table));
    if (!table)
        return Result::ok();
    TableReader reader(path, *table, "[board.nets]");
    for (const LineKind& kind : LINE_KINDS) {
        std::string name;
        KORVA_TRY(reader.text(kind.key, &name));
        if (!name.empty())
            (*nets)[kind.key] = name;
    }
    KORVA_TRY(reader.no_other_keys());
    if (!nets->empty() && config.netlist.empty())
        return Result::failure(reader.at(*table) +
                               "[board.nets] needs [board] netlist = \"...\": the nets are looked up in it");
    return Result::ok();
}

// A relative path is the configuration folder's.
std::string beside(const std::string& config_path, const std::string& path)
{
    const size_t slash = config_path.rfind('/');
    if (path.empty() || path[0] == '/' || slash == std::string::npos)
        return path;
    return config_path.substr(0, slash + 1) + path;
}

} // namespace

Result read_board_setup(const std::string& path, TableReader& top, BoardSetup* config)
{
    const toml::table* table = nullptr;
    KORVA_TRY(top.table("board", "[board]", &table));
    if (!table)
        return Result::ok();
    TableReader board(path, *table, "[board]");
    KORVA_TRY(board.text("netlist", &config->netlist));
    std::map<std::string, std::string> nets;
    KORVA_TRY(read_nets(path, board, *config, &nets));
    KORVA_TRY(board.no_other_keys());
    if (config->netlist.empty())
        return Result::ok();
    config->netlist = beside(path, config->netlist);
    auto netlist = std::make_shared<KicadNetlist>();
    if (const Result read = KicadNetlist::read(config->netlist, netlist.get()); !read)
        return Result::failure(path + ": " + read.why());
    auto probes = std::make_shared<ProbePoints>();
    if (const Result made = ProbePoints::make(netlist, nets, probes.get()); !made)
        return Result::failure(path + ": [board.nets] " + made.why() + " (" + config->netlist + ")");
    config->probes = probes;
    return Result::ok();
}

} // namespace korvastation
