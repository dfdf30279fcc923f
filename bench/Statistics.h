#pragma once

#include <QList>

#include <algorithm>
#include <cmath>

// Order statistics of a sample, in whatever unit it was taken.
class Statistics
{
public:
    explicit Statistics(QList<double> sample) : m_sorted(std::move(sample))
    {
        std::sort(m_sorted.begin(), m_sorted.end());
    }

    bool isEmpty() const { return m_sorted.isEmpty(); }
    double percentile(double p) const
    {
        if (m_sorted.isEmpty())
            return 0;
        const auto rank = qsizetype(std::ceil(p / 100.0 * double(m_sorted.size()))) - 1;
        return m_sorted.at(std::clamp<qsizetype>(rank, 0, m_sorted.size() - 1));
    }
    double median() const { return percentile(50); }
    double worst() const { return m_sorted.isEmpty() ? 0 : m_sorted.last(); }

private:
    QList<double> m_sorted;
};
