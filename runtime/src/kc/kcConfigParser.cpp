#include <kc/kcConfigParser.h>

#include <ku/kuNotify.h>
#include <ku/kuString.h>
#include <kx/kxModule.h>

#include <tinyxml2.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <unordered_map>

namespace {

kcConfigParser* s_parser = nullptr;

const char* const MODULE_KEYWORD = "Module";
const char* const ROOT_ELEMENT = "kestrix";

struct PropertyBinding {
    kcArgDefinitions args;
    kcPropertyHandler handler = nullptr;
};

struct ClassBinding {
    std::string typeName;
    kuBase::CreateFunc create = nullptr;
    std::map<std::string, PropertyBinding> properties;
    kcFinishHandler finish = nullptr;
};

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string trim(const char* text) {
    if (!text)
        return std::string();
    std::string s(text);
    std::size_t begin = 0, end = s.size();
    while (begin < end && isBlank(s[begin]))
        ++begin;
    while (end > begin && isBlank(s[end - 1]))
        --end;
    return s.substr(begin, end - begin);
}

bool isEmpty(const char* text) {
    return !text || !*text;
}

// tinyxml2 gives each element its line only: the column is found by looking for the element's
// start tag on that line, walking the elements in document order so that several elements on
// one line get their own columns.
class SourceColumns {
public:
    SourceColumns(const std::string& text, const tinyxml2::XMLElement* root) : m_text(text) {
        m_lineStart.push_back(0);
        for (std::size_t i = 0; i < text.size(); ++i)
            if (text[i] == '\n')
                m_lineStart.push_back(i + 1);
        visit(root);
    }

    // 1-based; 0 when the tag was not found.
    int get(const tinyxml2::XMLElement* element) const {
        auto it = m_columns.find(element);
        return it == m_columns.end() ? 0 : it->second;
    }

private:
    void visit(const tinyxml2::XMLElement* element) {
        if (!element)
            return;
        m_columns[element] = locate(element->GetLineNum(), element->Name());
        for (const tinyxml2::XMLElement* child = element->FirstChildElement(); child;
             child = child->NextSiblingElement())
            visit(child);
    }

    int locate(int line, const char* name) {
        if (line < 1 || static_cast<std::size_t>(line) > m_lineStart.size())
            return 0;
        const std::size_t begin = m_lineStart[static_cast<std::size_t>(line) - 1];
        const std::size_t end = static_cast<std::size_t>(line) < m_lineStart.size()
                                    ? m_lineStart[static_cast<std::size_t>(line)]
                                    : m_text.size();
        auto cursor = m_cursor.emplace(line, begin).first;
        const std::string tag = std::string("<") + name;
        for (std::size_t at = m_text.find(tag, cursor->second); at != std::string::npos && at < end;
             at = m_text.find(tag, at + 1)) {
            const std::size_t after = at + tag.size();
            const char next = after < m_text.size() ? m_text[after] : '\0';
            if (isBlank(next) || next == '/' || next == '>' || next == '\0') {
                cursor->second = after;
                return static_cast<int>(at - begin) + 1;
            }
        }
        return 0;
    }

    const std::string& m_text;
    std::vector<std::size_t> m_lineStart;
    std::map<int, std::size_t> m_cursor;
    std::unordered_map<const tinyxml2::XMLElement*, int> m_columns;
};

std::string location(const std::string& file, int line, int column) {
    if (line <= 0)
        return file + ": ";
    if (column <= 0)
        return kuString::format("%s:%d: ", file.c_str(), line).str();
    return kuString::format("%s:%d:%d: ", file.c_str(), line, column).str();
}

// "Window "win" setSize" for messages.
std::string subject(const kcArgValues& values) {
    std::string text = values.getClassKeyword();
    text += *values.getInstanceName() ? kuString::format(" \"%s\"", values.getInstanceName()).str()
                                      : std::string(" (unnamed)");
    if (*values.getPropertyKeyword())
        text += std::string(" ") + values.getPropertyKeyword();
    return text;
}

const char* className(const kuBase* object) {
    const kuBase::ClassType* type = object->getClassType();
    return type ? type->getName() : "object of no class";
}

} // namespace

// ---- kcArgDefinitions ----

int kcArgDefinitions::append(Definition definition) {
    if (definition.name.empty() || find(definition.name.c_str()) >= 0)
        return KU_FAILURE;
    m_definitions.push_back(std::move(definition));
    return KU_SUCCESS;
}

int kcArgDefinitions::add(const char* name, kcVariant::Type type) {
    switch (type) {
    case kcVariant::TYPE_BOOL:
    case kcVariant::TYPE_FLOAT:
    case kcVariant::TYPE_DOUBLE:
    case kcVariant::TYPE_INT:
    case kcVariant::TYPE_STRING:
    case kcVariant::TYPE_BITMASK:
        return append({name ? name : "", type, std::string(), TokenList(), BitNameList()});
    default:
        return KU_FAILURE;
    }
}

int kcArgDefinitions::addReference(const char* name, const char* className) {
    if (isEmpty(className))
        return KU_FAILURE;
    return append(
        {name ? name : "", kcVariant::TYPE_REFERENCE, className, TokenList(), BitNameList()});
}

int kcArgDefinitions::addToken(const char* name, const TokenList& tokens) {
    if (tokens.empty())
        return KU_FAILURE;
    return append({name ? name : "", kcVariant::TYPE_TOKEN, std::string(), tokens, BitNameList()});
}

int kcArgDefinitions::addBitmask(const char* name, const BitNameList& bitNames) {
    return append(
        {name ? name : "", kcVariant::TYPE_BITMASK, std::string(), TokenList(), bitNames});
}

const kcArgDefinitions::Definition* kcArgDefinitions::get(int index) const {
    return index >= 0 && index < getNum() ? &m_definitions[static_cast<std::size_t>(index)]
                                          : nullptr;
}

int kcArgDefinitions::find(const char* name) const {
    for (int i = 0; name && i < getNum(); ++i)
        if (m_definitions[static_cast<std::size_t>(i)].name == name)
            return i;
    return -1;
}

// ---- kcArgValues ----

const kcVariant& kcArgValues::getVariant(int index) const {
    static const kcVariant s_none;
    return index >= 0 && index < getNum() ? m_values[static_cast<std::size_t>(index)] : s_none;
}

const char* kcArgValues::getArgName(int index) const {
    return index >= 0 && index < static_cast<int>(m_argNames.size())
               ? m_argNames[static_cast<std::size_t>(index)].c_str()
               : "";
}

// ---- kcConfigParser ----

struct kcConfigParser::Impl {
    std::map<std::string, ClassBinding> classes;
    // Everything made, in order; and everything findable by name (made or registered).
    std::vector<kuRef<kuBase>> created;
    std::map<std::string, kuRef<kuBase>> named;
    int numErrors = 0;

    void report(const std::string& where, const std::string& message) {
        ++numErrors;
        kuNotify::print(kuNotify::WARN, nullptr, "%s%s", where.c_str(), message.c_str());
    }

    // One instance element of the file being read.
    struct Entry {
        const tinyxml2::XMLElement* element;
        std::string keyword;
        kuRef<kuBase> instance;
    };
};

kcConfigParser::kcConfigParser() : m_impl(new Impl) {}
kcConfigParser::~kcConfigParser() = default;

kcConfigParser* kcConfigParser::getTheConfigParser() {
    if (!s_parser)
        s_parser = new kcConfigParser;
    return s_parser;
}

void kcConfigParser::destroy() {
    kcConfigParser* parser = s_parser;
    s_parser = nullptr;
    delete parser;
}

int kcConfigParser::addConfigurableClass(const char* keyword, kuBase::ClassType* classType) {
    return addConfigurableClass(keyword, classType, nullptr);
}

int kcConfigParser::addConfigurableClass(const char* keyword, kuBase::ClassType* classType,
                                         kuBase::CreateFunc create) {
    if (isEmpty(keyword) || !classType || std::string(keyword) == MODULE_KEYWORD) {
        kuNotify::print(kuNotify::WARN, classType,
                        "kcConfigParser::addConfigurableClass - bad keyword or class type");
        return KU_FAILURE;
    }
    ClassBinding& binding = m_impl->classes[keyword];
    if (binding.typeName != classType->getName()) {
        binding.properties.clear();
        binding.finish = nullptr;
    }
    binding.typeName = classType->getName();
    binding.create = create;
    return KU_SUCCESS;
}

int kcConfigParser::removeConfigurableClass(const char* keyword) {
    return keyword && m_impl->classes.erase(keyword) ? KU_SUCCESS : KU_FAILURE;
}

bool kcConfigParser::isConfigurableClass(const char* keyword) const {
    return keyword && m_impl->classes.count(keyword) != 0;
}

int kcConfigParser::addConfigurableProp(const char* classKeyword, const char* propertyKeyword,
                                        const kcArgDefinitions& args, kcPropertyHandler handler) {
    auto it = classKeyword ? m_impl->classes.find(classKeyword) : m_impl->classes.end();
    if (it == m_impl->classes.end() || isEmpty(propertyKeyword) || !handler) {
        kuNotify::print(kuNotify::WARN, nullptr,
                        "kcConfigParser::addConfigurableProp - cannot bind \"%s\" of \"%s\"",
                        propertyKeyword ? propertyKeyword : "(null)",
                        classKeyword ? classKeyword : "(null)");
        return KU_FAILURE;
    }
    it->second.properties[propertyKeyword] = PropertyBinding{args, handler};
    return KU_SUCCESS;
}

int kcConfigParser::addReferenceProp(const char* classKeyword, const char* propertyKeyword,
                                     const char* argName, const char* referencedClassName,
                                     kcPropertyHandler handler) {
    kcArgDefinitions args;
    if (args.addReference(argName, referencedClassName) != KU_SUCCESS)
        return KU_FAILURE;
    return addConfigurableProp(classKeyword, propertyKeyword, args, handler);
}

bool kcConfigParser::isConfigurableProp(const char* classKeyword,
                                        const char* propertyKeyword) const {
    auto it = classKeyword ? m_impl->classes.find(classKeyword) : m_impl->classes.end();
    return it != m_impl->classes.end() && propertyKeyword &&
           it->second.properties.count(propertyKeyword) != 0;
}

int kcConfigParser::addFinishHandler(const char* classKeyword, kcFinishHandler handler) {
    auto it = classKeyword ? m_impl->classes.find(classKeyword) : m_impl->classes.end();
    if (it == m_impl->classes.end())
        return KU_FAILURE;
    it->second.finish = handler;
    return KU_SUCCESS;
}

int kcConfigParser::getNumErrors() const {
    return m_impl->numErrors;
}

kuBase* kcConfigParser::findInstance(const char* name) const {
    if (isEmpty(name))
        return nullptr;
    auto it = m_impl->named.find(name);
    return it == m_impl->named.end() ? nullptr : it->second.get();
}

int kcConfigParser::registerInstance(const char* name, kuBase* instance) {
    if (isEmpty(name) || !instance)
        return KU_FAILURE;
    kuRef<kuBase>& slot = m_impl->named[name];
    if (slot && slot.get() != instance)
        return KU_FAILURE;
    slot = instance;
    return KU_SUCCESS;
}

const std::vector<kuRef<kuBase>>& kcConfigParser::getInstances() const {
    return m_impl->created;
}

void kcConfigParser::clear() {
    // Empty the lists before the last references go: a destructor may call back in.
    std::vector<kuRef<kuBase>> created;
    std::map<std::string, kuRef<kuBase>> named;
    created.swap(m_impl->created);
    named.swap(m_impl->named);
    m_impl->numErrors = 0;
}

void kcConfigParser::stubsParseError(const kcArgValues& values, int argIndex, const char* message) {
    std::string text = subject(values);
    if (argIndex >= 0)
        text += kuString::format(": argument \"%s\"", values.getArgName(argIndex)).str();
    text += ": ";
    text += message ? message : "";
    m_impl->report(location(values.getFileName(), values.getLine(), values.getColumn()), text);
}

int kcConfigParser::parseFile(const char* fileName) {
    m_impl->numErrors = 0;
    const std::string name = fileName ? fileName : "";
    std::error_code ignored;
    std::ifstream in;
    if (!name.empty() && std::filesystem::is_regular_file(name, ignored))
        in.open(name, std::ios::binary);
    if (!in.is_open()) {
        m_impl->report(location(name.empty() ? "(no file name)" : name, 0, 0),
                       "cannot open the configuration file");
        return KU_FAILURE;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        m_impl->report(location(name, 0, 0), "cannot read the configuration file");
        return KU_FAILURE;
    }
    return parse(text, name.c_str());
}

int kcConfigParser::parseString(const char* text, const char* nameForMessages) {
    m_impl->numErrors = 0;
    const char* name = isEmpty(nameForMessages) ? "(string)" : nameForMessages;
    if (!text) {
        m_impl->report(location(name, 0, 0), "no configuration text");
        return KU_FAILURE;
    }
    return parse(text, name);
}

namespace {

// Reads one argument's text into its value; false when the handler must not be called.
bool readArgument(kcConfigParser* parser, const kcArgDefinitions::Definition& definition,
                  const std::string& text, kcArgValues& values, kcVariant& value, int index) {
    switch (definition.type) {
    case kcVariant::TYPE_TOKEN: {
        const std::string token = trim(text.c_str());
        std::string known;
        for (const auto& entry : definition.tokens) {
            if (entry.first == token) {
                value.setToken(entry.first.c_str(), entry.second);
                return true;
            }
            known += (known.empty() ? "" : ", ") + entry.first;
        }
        value.setZero(kcVariant::TYPE_TOKEN);
        parser->stubsParseError(
            values, index,
            kuString::format("unknown token \"%s\" (one of: %s)", token.c_str(), known.c_str())
                .c_str());
        return true;
    }
    case kcVariant::TYPE_BITMASK: {
        unsigned int mask = 0;
        bool readable = true;
        std::size_t start = 0;
        do {
            const std::size_t bar = text.find('|', start);
            const std::string part = trim(text.substr(start, bar - start).c_str());
            start = bar == std::string::npos ? bar : bar + 1;
            bool named = false;
            for (const auto& entry : definition.bitNames)
                if (entry.first == part) {
                    mask |= entry.second;
                    named = true;
                }
            kcVariant number;
            if (!named && number.fromText(kcVariant::TYPE_BITMASK, part.c_str()))
                mask |= number.getBitmask();
            else if (!named)
                readable = false;
        } while (start != std::string::npos);
        value.setBitmask(readable ? mask : 0u);
        if (!readable)
            parser->stubsParseError(
                values, index, kuString::format("unreadable bitmask \"%s\"", text.c_str()).c_str());
        return true;
    }
    case kcVariant::TYPE_REFERENCE: {
        const std::string name = trim(text.c_str());
        kuBase* object = parser->findInstance(name.c_str());
        const kuBase::ClassType* expected = kuBase::ClassType::find(definition.className.c_str());
        std::string problem;
        if (!object)
            problem = kuString::format("no object named \"%s\"", name.c_str()).str();
        else if (!expected)
            problem =
                kuString::format("unknown class type \"%s\"", definition.className.c_str()).str();
        else if (!object->isOfClassType(expected))
            problem = kuString::format("\"%s\" is a %s, not a %s", name.c_str(), className(object),
                                       definition.className.c_str())
                          .str();
        if (!problem.empty()) {
            value.setZero(kcVariant::TYPE_REFERENCE);
            parser->stubsParseError(values, index, (problem + "; property skipped").c_str());
            return false;
        }
        value.setReference(object);
        return true;
    }
    default:
        if (!value.fromText(definition.type, text.c_str()))
            parser->stubsParseError(values, index,
                                    kuString::format("unreadable %s \"%s\"",
                                                     kcVariant::getTypeName(definition.type),
                                                     text.c_str())
                                        .c_str());
        return true;
    }
}

// Fills values from a property element; false when the handler must not be called.
bool readArguments(kcConfigParser* parser, const tinyxml2::XMLElement* element,
                   const kcArgDefinitions& args, kcArgValues& values,
                   std::vector<kcVariant>& slots) {
    const int count = args.getNum();
    std::vector<const char*> texts(static_cast<std::size_t>(count), nullptr);
    for (const tinyxml2::XMLAttribute* attribute = element->FirstAttribute(); attribute;
         attribute = attribute->Next()) {
        const int index = args.find(attribute->Name());
        if (index < 0)
            parser->stubsParseError(
                values, -1,
                kuString::format("unknown argument \"%s\" ignored", attribute->Name()).c_str());
        else
            texts[static_cast<std::size_t>(index)] = attribute->Value();
    }
    const std::string text = trim(element->GetText());
    if (!text.empty()) {
        if (count != 1)
            parser->stubsParseError(
                values, -1,
                kuString::format("text \"%s\" ignored: give the arguments as attributes",
                                 text.c_str())
                    .c_str());
        else if (texts[0])
            parser->stubsParseError(
                values, 0, "given both as text and as an attribute; the attribute is used");
        else
            texts[0] = text.c_str();
    }
    if (const tinyxml2::XMLElement* child = element->FirstChildElement())
        parser->stubsParseError(
            values, -1, kuString::format("unexpected element <%s> ignored", child->Name()).c_str());

    bool callable = true;
    for (int i = 0; i < count; ++i) {
        const kcArgDefinitions::Definition& definition = *args.get(i);
        kcVariant& value = slots[static_cast<std::size_t>(i)];
        if (!texts[static_cast<std::size_t>(i)]) {
            value.setZero(definition.type);
            const bool reference = definition.type == kcVariant::TYPE_REFERENCE;
            parser->stubsParseError(values, i,
                                    reference ? "missing; property skipped" : "missing; 0 used");
            callable = callable && !reference;
            continue;
        }
        callable = readArgument(parser, definition, texts[static_cast<std::size_t>(i)], values,
                                value, i) &&
                   callable;
    }
    return callable;
}

} // namespace

int kcConfigParser::parse(const std::string& text, const char* fileName) {
    Impl& impl = *m_impl;
    // Names and values end up in messages, file names and JSON: text that is not UTF-8 is
    // refused here, where the place of the bad byte can still be told.
    const std::size_t bad = kuString::findInvalidUtf8(text.data(), text.size());
    if (bad < text.size()) {
        const std::size_t newline = bad == 0 ? std::string::npos : text.rfind('\n', bad - 1);
        const std::size_t column = newline == std::string::npos ? bad + 1 : bad - newline;
        const int line = 1 + static_cast<int>(std::count(text.begin(), text.begin() + bad, '\n'));
        impl.report(
            location(fileName, line, static_cast<int>(column)),
            kuString::format("not UTF-8 text (byte 0x%02x)", static_cast<unsigned char>(text[bad]))
                .str());
        return KU_FAILURE;
    }
    tinyxml2::XMLDocument document;
    if (document.Parse(text.c_str(), text.size()) != tinyxml2::XML_SUCCESS) {
        impl.report(location(fileName, document.ErrorLineNum(), 0),
                    kuString::format("not well-formed XML (%s)", document.ErrorStr()).str());
        return KU_FAILURE;
    }
    const tinyxml2::XMLElement* root = document.RootElement();
    if (!root || std::string(root->Name()) != ROOT_ELEMENT) {
        impl.report(location(fileName, root ? root->GetLineNum() : 0, 0),
                    kuString::format("the root element is <%s>, not <%s>", root ? root->Name() : "",
                                     ROOT_ELEMENT)
                        .str());
        return KU_FAILURE;
    }
    const SourceColumns columns(text, root);
    auto where = [&](const tinyxml2::XMLElement* element) {
        return location(fileName, element->GetLineNum(), columns.get(element));
    };

    // Modules first: they bind the keywords the rest of the file may use.
    for (const tinyxml2::XMLElement* element = root->FirstChildElement(MODULE_KEYWORD); element;
         element = element->NextSiblingElement(MODULE_KEYWORD)) {
        const char* name = element->Attribute("name");
        if (isEmpty(name)) {
            impl.report(where(element), "Module without a name");
            continue;
        }
        if (kxModule::initializeModule(name) != KU_SUCCESS) {
            impl.report(where(element), kuString::format("cannot load module \"%s\"", name).str());
            continue;
        }
        kxModule* module = kxModule::find(name);
        if (!module || module->initialize(0, nullptr) != KU_SUCCESS)
            impl.report(where(element),
                        kuString::format("module \"%s\" did not initialize", name).str());
    }

    // Every instance exists before any property is applied, so references may point forward.
    std::vector<Impl::Entry> entries;
    for (const tinyxml2::XMLElement* element = root->FirstChildElement(); element;
         element = element->NextSiblingElement()) {
        const std::string keyword = element->Name();
        if (keyword == MODULE_KEYWORD)
            continue;
        auto binding = impl.classes.find(keyword);
        if (binding == impl.classes.end()) {
            impl.report(
                where(element),
                kuString::format("unknown class keyword \"%s\"; element skipped", keyword.c_str())
                    .str());
            continue;
        }
        for (const tinyxml2::XMLAttribute* attribute = element->FirstAttribute(); attribute;
             attribute = attribute->Next())
            if (std::string(attribute->Name()) != "name")
                impl.report(where(element), kuString::format("%s: unknown attribute \"%s\" ignored",
                                                             keyword.c_str(), attribute->Name())
                                                .str());
        kuBase::ClassType* type = kuBase::ClassType::find(binding->second.typeName.c_str());
        if (!type) {
            impl.report(where(element),
                        kuString::format("%s: class type \"%s\" is not registered; element skipped",
                                         keyword.c_str(), binding->second.typeName.c_str())
                            .str());
            continue;
        }
        const char* name = element->Attribute("name");
        kuRef<kuBase> instance = findInstance(name);
        if (instance && !instance->isOfClassType(type)) {
            impl.report(where(element),
                        kuString::format("%s: \"%s\" already names a %s; element skipped",
                                         keyword.c_str(), name, className(instance.get()))
                            .str());
            continue;
        }
        if (!instance) {
            instance = binding->second.create ? binding->second.create() : type->create();
            if (!instance || !instance->isOfClassType(type)) {
                impl.report(where(element),
                            kuString::format("%s: cannot create a %s; element skipped",
                                             keyword.c_str(), type->getName())
                                .str());
                continue;
            }
            if (!isEmpty(name)) {
                instance->setName(name);
                impl.named[name] = instance;
            }
            impl.created.push_back(instance);
        }
        entries.push_back({element, keyword, instance});
    }

    // Properties in document order.
    for (const Impl::Entry& entry : entries) {
        const char* instanceName = entry.element->Attribute("name");
        for (const tinyxml2::XMLElement* element = entry.element->FirstChildElement(); element;
             element = element->NextSiblingElement()) {
            auto binding = impl.classes.find(entry.keyword);
            if (binding == impl.classes.end())
                break;
            auto property = binding->second.properties.find(element->Name());
            if (property == binding->second.properties.end()) {
                impl.report(where(element),
                            kuString::format("unknown property \"%s\" of %s; skipped",
                                             element->Name(), entry.keyword.c_str())
                                .str());
                continue;
            }
            // A copy: a handler may rebind keywords.
            const PropertyBinding bound = property->second;
            kcArgValues values;
            values.m_fileName = fileName;
            values.m_line = element->GetLineNum();
            values.m_column = columns.get(element);
            values.m_classKeyword = entry.keyword;
            values.m_propertyKeyword = element->Name();
            values.m_instanceName = instanceName ? instanceName : "";
            values.m_values.resize(static_cast<std::size_t>(bound.args.getNum()));
            for (int i = 0; i < bound.args.getNum(); ++i)
                values.m_argNames.push_back(bound.args.get(i)->name);
            if (!readArguments(this, element, bound.args, values, values.m_values))
                continue;
            if (bound.handler(entry.instance.get(), values) != KU_SUCCESS)
                stubsParseError(values, -1, "not applied");
        }
    }

    // Finish each instance once per handler, in the order the file first named it.
    std::set<std::pair<const kuBase*, kcFinishHandler>> finished;
    for (const Impl::Entry& entry : entries) {
        auto binding = impl.classes.find(entry.keyword);
        if (binding == impl.classes.end() || !binding->second.finish ||
            !finished.insert({entry.instance.get(), binding->second.finish}).second)
            continue;
        const kcFinishHandler finish = binding->second.finish;
        kcArgValues values;
        values.m_fileName = fileName;
        values.m_line = entry.element->GetLineNum();
        values.m_column = columns.get(entry.element);
        values.m_classKeyword = entry.keyword;
        const char* instanceName = entry.element->Attribute("name");
        values.m_instanceName = instanceName ? instanceName : "";
        if (finish(entry.instance.get(), values) != KU_SUCCESS)
            stubsParseError(values, -1, "not completed");
    }
    return KU_SUCCESS;
}
