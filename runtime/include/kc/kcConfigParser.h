#ifndef KC_CONFIGPARSER_H
#define KC_CONFIGPARSER_H

#include <kc/kcVariant.h>
#include <ku/kuBase.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

// The arguments a property keyword takes, in order. Their names are the attribute names of
// the property's element.
class KX_API kcArgDefinitions {
public:
    typedef std::vector<std::pair<std::string, int>> TokenList;
    typedef std::vector<std::pair<std::string, unsigned int>> BitNameList;

    struct Definition {
        std::string name;
        kcVariant::Type type;
        // References: the class type name the object must be of ("ksNode",
        // "kxPositionable::Strategy").
        std::string className;
        // Tokens: the names and their values.
        TokenList tokens;
        // Bitmasks: names that may stand for bits, besides numbers.
        BitNameList bitNames;
    };

    // All return 1, or -32767 for an empty or repeated name or a kind the call cannot define.
    // add() takes the kinds that need nothing more: bool, float, double, int, string, bitmask.
    int add(const char* name, kcVariant::Type type);
    int addReference(const char* name, const char* className);
    int addToken(const char* name, const TokenList& tokens);
    // A bitmask written as numbers or names joined by '|' ("lighting|fog", "0x3|8").
    int addBitmask(const char* name, const BitNameList& bitNames);

    int getNum() const { return static_cast<int>(m_definitions.size()); }
    // Null when out of range.
    const Definition* get(int index) const;
    // The index of an argument by name, or -1.
    int find(const char* name) const;

private:
    int append(Definition definition);
    std::vector<Definition> m_definitions;
};

// What a property handler receives: one value per defined argument, in definition order, and
// where in which file the property was written.
class KX_API kcArgValues {
public:
    int getNum() const { return static_cast<int>(m_values.size()); }
    // An empty variant when index is out of range.
    const kcVariant& getVariant(int index) const;
    bool getBool(int index) const { return getVariant(index).getBool(); }
    float getFloat(int index) const { return getVariant(index).getFloat(); }
    double getDouble(int index) const { return getVariant(index).getDouble(); }
    int getInt(int index) const { return getVariant(index).getInt(); }
    const char* getString(int index) const { return getVariant(index).getString(); }
    unsigned int getBitmask(int index) const { return getVariant(index).getBitmask(); }
    kuBase* getBase(int index) const { return getVariant(index).getBase(); }
    const char* getArgName(int index) const;

    const char* getFileName() const { return m_fileName.c_str(); }
    int getLine() const { return m_line; }
    // 1-based; 0 when unknown.
    int getColumn() const { return m_column; }
    const char* getClassKeyword() const { return m_classKeyword.c_str(); }
    // Empty for a finish handler's call.
    const char* getPropertyKeyword() const { return m_propertyKeyword.c_str(); }
    const char* getInstanceName() const { return m_instanceName.c_str(); }

private:
    friend class kcConfigParser;
    std::vector<kcVariant> m_values;
    std::vector<std::string> m_argNames;
    std::string m_fileName, m_classKeyword, m_propertyKeyword, m_instanceName;
    int m_line = 0, m_column = 0;
};

// Applies one property to an instance; 1, or -32767 when the instance refused it (the parser
// reports that with the file and line).
typedef int (*kcPropertyHandler)(kuBase* instance, const kcArgValues& values);
// Runs once per instance a parse configured, after every property of the file was applied
// (building what depends on all the settings). values has no arguments, only the place of the
// instance's element. 1, or -32767 (reported by the parser).
typedef int (*kcFinishHandler)(kuBase* instance, const kcArgValues& values);

// Reads configuration files:
//
//   <kestrix>
//     <Module name="kxlightlobe"/>
//     <Window name="win"><setSize width="800" height="600"/><addChannel>chan</addChannel></Window>
//     <Channel name="chan"><setProjection fovx="60" fovy="45" near="1" far="5000"/></Channel>
//   </kestrix>
//
// An element per instance, named by its class keyword, with a name attribute; an element of
// an instance already known by that name (created earlier or registered) configures that
// instance instead of making a new one. A child element per property keyword with its
// arguments as attributes; a single-argument property may give its value as the element's
// text. References name other instances, before or after in the file. Module elements load
// and initialize a module first, so that the file can use its keywords.
//
// A parse runs in three passes: modules; every instance is made; every property is applied
// in document order, then the finish handlers run. Problems in the file (unknown keywords,
// unreadable values, references to nothing or to an object of the wrong class) are reported
// at level 5 as "file:line:column: ..." and counted; the element or property concerned is
// skipped (an unreadable value is passed as its kind's zero value) and parsing goes on.
//
// The parser holds a reference to every instance it made until clear() or destroy().
// Threads: application thread only.
class KX_API kcConfigParser {
public:
    static kcConfigParser* getTheConfigParser();
    // Releases the parser, its instances and its keywords (the kernel's shutdown calls this).
    static void destroy();

    kcConfigParser(const kcConfigParser&) = delete;
    kcConfigParser& operator=(const kcConfigParser&) = delete;

    // Binds a class keyword; instances are made with create, or without it with the class
    // type's creation functor (a class type without one is reported when a file uses the
    // keyword). Binding a keyword again replaces the class; its properties are kept when the
    // class type's name stays the same, dropped otherwise. The class type is looked up by name
    // when an instance is made, so a module may re-create its class types between parses.
    // 1, or -32767 for a null or empty keyword, a null class type or the reserved "Module".
    int addConfigurableClass(const char* keyword, kuBase::ClassType* classType);
    int addConfigurableClass(const char* keyword, kuBase::ClassType* classType,
                             kuBase::CreateFunc create);
    // Unbinds a class keyword and its properties. 1, or -32767 when it is not bound.
    int removeConfigurableClass(const char* keyword);
    bool isConfigurableClass(const char* keyword) const;
    // Binds (or rebinds) a property keyword of a bound class keyword. 1, or -32767 for an
    // unbound class keyword, an empty property keyword or a null handler.
    int addConfigurableProp(const char* classKeyword, const char* propertyKeyword,
                            const kcArgDefinitions& args, kcPropertyHandler handler);
    // A property with one reference argument.
    int addReferenceProp(const char* classKeyword, const char* propertyKeyword, const char* argName,
                         const char* referencedClassName, kcPropertyHandler handler);
    bool isConfigurableProp(const char* classKeyword, const char* propertyKeyword) const;
    // One per class keyword (a second replaces the first; null removes it).
    int addFinishHandler(const char* classKeyword, kcFinishHandler handler);

    // 1, or -32767 when the file cannot be read, is not well-formed XML or its root element
    // is not <kestrix> (reported at level 5 with the line). Problems inside a well-formed
    // file do not make it fail: see getNumErrors().
    int parseFile(const char* fileName);
    // As parseFile on text in memory; nameForMessages stands for the file name in messages.
    int parseString(const char* text, const char* nameForMessages);
    // Problems reported since the latest parse began (by the parser or through
    // stubsParseError).
    int getNumErrors() const;

    // An instance the parser made or that was registered, by name; null when none.
    kuBase* findInstance(const char* name) const;
    // Makes an object made elsewhere known by name, so files may refer to it (and configure
    // it). The parser holds a reference until clear(). 1, or -32767 for a null object, an
    // empty name or a name already taken by another object.
    int registerInstance(const char* name, kuBase* instance);
    // Every instance the parser made, in the order made.
    const std::vector<kuRef<kuBase>>& getInstances() const;
    // Releases the instances (made and registered) and the error count; keywords stay.
    void clear();

    // Reports a problem with argument argIndex of a property (-1: the whole property, or the
    // instance for a finish handler) at level 5 with the file, line and column, and counts it.
    void stubsParseError(const kcArgValues& values, int argIndex, const char* message);

private:
    struct Impl;
    kcConfigParser();
    ~kcConfigParser();
    int parse(const std::string& text, const char* nameForMessages);

    std::unique_ptr<Impl> m_impl;
};

#endif
