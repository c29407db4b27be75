// A JSON document that keeps what it was given: members in their order, numbers as the text the
// file wrote them in, strings as their bytes. Values live in one table and refer to each other by
// id, so that reading, writing, copying and freeing never recurse, however deep the input nests,
// and parsing and writing take time linear in the text.
#ifndef WELDMESH_GLTF_JSON_H
#define WELDMESH_GLTF_JSON_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace json {

using Id = uint32_t;
const Id kNone = UINT32_MAX;

enum class Kind : uint8_t { null, boolean, number, string, array, object };

class Document {
  public:
    // Parses UTF-8 JSON text into a new document, whose root is root(). False with `error` set
    // ("line L, column C: reason") for text that is not JSON, holds invalid UTF-8, or has an
    // object with two members of one name.
    bool parse(const char* text, size_t size, std::string& error);

    Id root() const { return 0; }
    Id node_count() const { return Id(nodes_.size()); }
    Kind kind(Id id) const { return nodes_[id].kind; }
    bool is(Id id, Kind kind) const { return id != kNone && nodes_[id].kind == kind; }

    // Objects: members in their order, each a key and a value. find() is kNone for a missing
    // member, also when `object` is not an object or kNone itself.
    size_t member_count(Id object) const { return nodes_[object].children.size() / 2; }
    std::string_view key(Id object, size_t i) const;
    Id value(Id object, size_t i) const { return nodes_[object].children[2 * i + 1]; }
    Id find(Id object, std::string_view key) const;
    // Replaces the member's value, or appends the member when the object has none of that name.
    void set(Id object, std::string_view key, Id value);
    // Appends a member without looking for one of that name: the caller knows there is none.
    void append(Id object, std::string_view key, Id value);
    void set_value(Id object, size_t i, Id value) { nodes_[object].children[2 * i + 1] = value; }
    void erase(Id object, std::string_view key);

    // Arrays. Objects and arrays count their children alike: size() of an object is twice its
    // member count.
    size_t size(Id array) const { return nodes_[array].children.size(); }
    Id at(Id array, size_t i) const { return nodes_[array].children[i]; }
    void push_back(Id array, Id value) { nodes_[array].children.push_back(value); }
    void set_at(Id array, size_t i, Id value) { nodes_[array].children[i] = value; }

    // A number's text as written, or a string's bytes. The views of text() and key() last until
    // the next value is added: adding moves the text they point into.
    std::string_view text(Id id) const;
    bool truth(Id id) const { return nodes_[id].truth; }
    // True for a number written as a plain non-negative integer (no sign, fraction or exponent)
    // that fits 64 bits.
    bool to_unsigned(Id id, uint64_t& value) const;
    // True for any number that reads as a finite double.
    bool to_double(Id id, double& value) const;

    Id add_null() { return add(Kind::null); }
    Id add_boolean(bool value);
    Id add_unsigned(uint64_t value);
    Id add_integer(int64_t value);
    // A float, as the shortest text that reads back to the same double, so that readers that
    // compare in double precision see exactly the float.
    Id add_float(float value);
    // May be given this document's own text.
    Id add_string(std::string_view value);
    Id add_array() { return add(Kind::array); }
    Id add_object() { return add(Kind::object); }
    // A new object or array with the same members or elements, which it shares with `id`: change
    // the copy by setting its members, never by changing what they refer to.
    Id shallow_copy(Id id);

    // Appends the document from `id` (the root by default) to `out`, compact, or indented by
    // two spaces a level.
    void write(std::string& out, bool indented, Id id = 0) const;

  private:
    struct Node {
        Kind kind;
        bool truth;
        uint32_t textLength;
        size_t textOffset;
        // An array's elements; an object's members as key, value, key, value, ...
        std::vector<Id> children;
    };
    friend class Builder;

    Id add(Kind kind);
    Id add_text(Kind kind, std::string_view text);
    void write_scalar(std::string& out, Id id) const;

    std::vector<Node> nodes_;
    std::string text_; // every string's and number's text, one after another
};

} // namespace json

#endif
