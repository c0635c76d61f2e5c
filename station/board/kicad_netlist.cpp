#include "station/board/kicad_netlist.h"

#include <fstream>

#include "station/board/s_expression.h"

namespace korvastation {

using korvasim::Result;

namespace {

Result wrong(const std::string& name, const SExpression& at, const std::string& expected)
{
    return Result::failure(name + ":" + std::to_string(at.line) + ": expected " + expected);
}

Result read_components(const std::string& name, const SExpression& root, std::map<std::string, std::string>* out)
{
    for (const SExpression* list : root.children("components"))
        for (const SExpression* comp : list->children("comp")) {
            std::string ref, value;
            if (!comp->value("ref", &ref) || ref.empty())
                return wrong(name, *comp, "(ref \"NAME\") in the component");
            comp->value("value", &value);
            if (!out->emplace(ref, value).second)
                return wrong(name, *comp, "one component " + ref + ", found a second");
        }
    return Result::ok();
}

Result read_node(const std::string& name, const SExpression& node, NetNode* out)
{
    if (!node.value("ref", &out->ref) || out->ref.empty())
        return wrong(name, node, "(ref \"NAME\") in the node");
    if (!node.value("pin", &out->pin) || out->pin.empty())
        return wrong(name, node, "(pin \"NUMBER\") in the node of " + out->ref);
    node.value("pinfunction", &out->function);
    return Result::ok();
}

Result read_nets(const std::string& name, const SExpression& root, std::map<std::string, Net>* out)
{
    const std::vector<const SExpression*> lists = root.children("nets");
    if (lists.size() != 1)
        return wrong(name, lists.empty() ? root : *lists[1], "one (nets ...) list in the export");
    for (const SExpression* item : lists[0]->children("net")) {
        Net net;
        if (!item->value("name", &net.name) || net.name.empty())
            return wrong(name, *item, "(name \"NAME\") in the net");
        for (const SExpression* node : item->children("node")) {
            net.nodes.emplace_back();
            if (const Result read = read_node(name, *node, &net.nodes.back()); !read)
                return read;
        }
        const std::string net_name = net.name;
        if (!out->emplace(net_name, std::move(net)).second)
            return wrong(name, *item, "one net " + net_name + ", found a second");
    }
    return Result::ok();
}

} // namespace

Result KicadNetlist::parse(const std::string& name, const std::string& text, KicadNetlist* out)
{
    *out = KicadNetlist{};
    SExpression root;
    if (const Result parsed = parse_s_expression(name, text, &root); !parsed)
        return parsed;
    if (root.keyword() != "export")
        return wrong(name, root, "(export ...), a KiCad netlist");
    if (const Result read = read_components(name, root, &out->components_); !read)
        return read;
    if (const Result read = read_nets(name, root, &out->nets_); !read)
        return read;
    // A pin is on one net: a second is a netlist that is not a board's.
    std::map<std::pair<std::string, std::string>, std::string> net_of_pin;
    for (const auto& [net_name, net] : out->nets_)
        for (const NetNode& node : net.nodes) {
            if (!out->has_component(node.ref))
                return Result::failure(name + ": net " + net_name + " names component " + node.ref +
                                       ", which the netlist's components do not hold");
            const auto [it, first] = net_of_pin.emplace(std::make_pair(node.ref, node.pin), net_name);
            if (!first && it->second != net_name)
                return Result::failure(name + ": pin " + node.pin + " of " + node.ref + " is on two nets, " +
                                       it->second + " and " + net_name);
        }
    return Result::ok();
}

Result KicadNetlist::read(const std::string& path, KicadNetlist* out)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return Result::failure("cannot read the netlist " + path);
    std::string text;
    text.reserve(4096);
    char buffer[65536];
    while (file.read(buffer, sizeof buffer) || file.gcount() > 0) {
        text.append(buffer, static_cast<size_t>(file.gcount()));
        if (text.size() > MAX_BYTES)
            return Result::failure("the netlist " + path + " is larger than " + std::to_string(MAX_BYTES >> 20) +
                                   " MiB: not a board's netlist");
    }
    if (file.bad())
        return Result::failure("cannot read the netlist " + path);
    return parse(path, text, out);
}

const Net* KicadNetlist::net(const std::string& name) const
{
    auto it = nets_.find(name);
    if (it == nets_.end())
        it = nets_.find("/" + name);
    return it == nets_.end() ? nullptr : &it->second;
}

} // namespace korvastation
