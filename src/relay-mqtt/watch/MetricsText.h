#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QtGlobal>

#include <initializer_list>
#include <utility>

// Metrics in Prometheus' text format: each metric's HELP and TYPE lines, then its samples.
class MetricsText
{
public:
    static constexpr char contentType[] = "text/plain; version=0.0.4; charset=utf-8";

    enum class Type { Counter, Gauge };
    using Labels = std::initializer_list<std::pair<QByteArrayView, QString>>;

    // Starts the metric `name`; the samples that follow are its.
    void metric(QByteArrayView name, Type type, QByteArrayView help);
    void sample(quint64 value, Labels labels = {});
    void sample(double value, Labels labels = {});

    const QByteArray &text() const { return m_text; }

private:
    void writeName(Labels labels);

    QByteArray m_text;
    QByteArray m_name;
};
