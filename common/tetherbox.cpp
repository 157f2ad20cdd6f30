#include "common/tetherbox.h"

#include <pugixml.hpp>
#include <sstream>
#include <stdexcept>

namespace Tarvik::Tetherbox {

namespace {

pugi::xml_node envelopeRoot(pugi::xml_document& doc) {
    pugi::xml_node decl = doc.append_child(pugi::node_declaration);
    decl.append_attribute("version") = "1.0";
    decl.append_attribute("encoding") = "utf-8";
    return doc.append_child("TetherboxEnvelope");
}

std::string text(const pugi::xml_document& doc) {
    std::ostringstream out;
    doc.save(out, "", pugi::format_raw | pugi::format_no_declaration);
    return out.str();
}

}  // namespace

std::string signInRequest() {
    pugi::xml_document doc;
    pugi::xml_node root = envelopeRoot(doc);
    root.append_attribute("xmlns:xsi") = "http://www.w3.org/2001/XMLSchema-instance";
    root.append_attribute("xsi:noNamespaceSchemaLocation") = "WsklibTetherbox.xsd";
    pugi::xml_node request = root.append_child("request");
    request.append_attribute("id") = "2";
    request.append_attribute("functionName") = "showZEL";
    request.append_child("arguments");
    return text(doc);
}

std::optional<Call> readRequest(const std::string& xml) {
    pugi::xml_document doc;
    if (!doc.load_string(xml.c_str())) return std::nullopt;
    const pugi::xml_node request = doc.child("TetherboxEnvelope").child("request");
    if (!request) return std::nullopt;
    return Call{request.attribute("id").as_string(), request.attribute("functionName").as_string()};
}

std::string response(const Call& call, int value) {
    pugi::xml_document doc;
    pugi::xml_node response = envelopeRoot(doc).append_child("response");
    response.append_attribute("id") = call.id.c_str();
    response.append_attribute("functionName") = call.function.c_str();
    response.append_child("WSKLibResponse").text().set(value);
    return text(doc);
}

Answer readResponse(const std::string& xml) {
    Answer answer;
    pugi::xml_document doc;
    if (!doc.load_string(xml.c_str())) return answer;
    const pugi::xpath_node node = doc.select_node("/TetherboxEnvelope/response/WSKLibResponse");
    if (!node) {
        answer.status = Answer::Status::NoValue;
        return answer;
    }
    answer.text = node.node().text().get();
    try {
        answer.value = std::stoi(answer.text);
        answer.status = Answer::Status::Value;
    } catch (const std::exception&) {
        answer.status = Answer::Status::NotANumber;
    }
    return answer;
}

std::string textAt(const std::string& xml, const char* xpath) {
    pugi::xml_document doc;
    if (!doc.load_string(xml.c_str())) return {};
    try {
        const pugi::xpath_node found = doc.select_node(xpath);
        return found ? found.node().text().get() : std::string();
    } catch (const pugi::xpath_exception&) {
        return {};
    }
}

}  // namespace Tarvik::Tetherbox
