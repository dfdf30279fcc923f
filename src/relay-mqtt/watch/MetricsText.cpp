#include "relay-mqtt/watch/MetricsText.h"

namespace {

// A label's value escapes its backslashes, double quotes and line breaks; HELP, the first and
// the last.
QByteArray escaped(QByteArrayView text, bool quotes)
{
    QByteArray out;
    out.reserve(text.size());
    for (const char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '"' && quotes)
            out += "\\\"";
        else
            out += c;
    }
    return out;
}

} // namespace

void MetricsText::metric(QByteArrayView name, Type type, QByteArrayView help)
{
    m_name = name.toByteArray();
    m_text += "# HELP " + m_name + ' ' + escaped(help, false) + '\n';
    m_text += "# TYPE " + m_name + (type == Type::Counter ? " counter\n" : " gauge\n");
}

void MetricsText::sample(quint64 value, Labels labels)
{
    writeName(labels);
    m_text += QByteArray::number(value) + '\n';
}

void MetricsText::sample(double value, Labels labels)
{
    writeName(labels);
    m_text += QByteArray::number(value, 'f', 3) + '\n';
}

void MetricsText::writeName(Labels labels)
{
    m_text += m_name;
    if (labels.size() > 0) {
        m_text += '{';
        bool first = true;
        for (const auto &[label, value] : labels) {
            if (!first)
                m_text += ',';
            first = false;
            m_text += label.toByteArray() + "=\"" + escaped(value.toUtf8(), true) + '"';
        }
        m_text += '}';
    }
    m_text += ' ';
}
