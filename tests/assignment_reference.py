"""Assignment with forbidden cells, for the test references.

The shortest augmenting path algorithm that scipy's linear_sum_assignment runs (Crouse's
rectangular form: rows inserted in order, remaining columns scanned in descending order, ties to
the last free column, else the first), with every cost a pair (forbidden cells used, value) added
componentwise and compared lexicographically. It is what that solver computes in exact arithmetic
when forbidden cells carry a penalty larger than any difference of totals: the most allowed cells
first, then the best total of their values, without the penalty ever rounding a value away.
"""

import math

INF = (math.inf, math.inf)


def _add(a, b):
    return (a[0] + b[0], a[1] + b[1])


def _sub(a, b):
    return (a[0] - b[0], a[1] - b[1])


def assign(values, allowed, maximize=True):
    """(rows, cols) of the assignment of the n x m matrix `values`, rows ascending."""
    n = len(values)
    m = len(values[0]) if n else 0
    if n == 0 or m == 0:
        return [], []
    transpose = n > m
    nr, nc = (m, n) if transpose else (n, m)

    def cost(i, j):
        r, c = (j, i) if transpose else (i, j)
        if not allowed[r][c]:
            return (1.0, 0.0)
        v = float(values[r][c])
        return (0.0, -v if maximize else v)

    w = [[cost(i, j) for j in range(nc)] for i in range(nr)]
    u, v = [(0.0, 0.0)] * nr, [(0.0, 0.0)] * nc
    col4row, row4col, free = [None] * nr, [None] * nc, [True] * nc
    for cur in range(nr):
        remaining = list(range(nc - 1, -1, -1))
        d_at, path_at = [INF] * nc, [None] * nc
        d, path, reached = {}, {}, []
        min_val, i, sink = (0.0, 0.0), cur, None
        while sink is None:
            lowest, best = INF, None
            for p in range(len(remaining)):
                j = remaining[p]
                r = _sub(_sub(_add(w[i][j], min_val), u[i]), v[j])
                if r < d_at[p]:
                    d_at[p], path_at[p] = r, i
                if d_at[p] < lowest or (d_at[p] == lowest and free[j]):
                    lowest, best = d_at[p], p
            min_val = lowest
            j = remaining[best]
            reached.append(j)
            d[j], path[j] = d_at[best], path_at[best]
            last = len(remaining) - 1
            remaining[best], d_at[best], path_at[best] = remaining[last], d_at[last], path_at[last]
            remaining.pop()
            if free[j]:
                sink = j
            else:
                i = row4col[j]
        u[cur] = _add(u[cur], min_val)
        for j in reached[:-1]:
            u[row4col[j]] = _add(_sub(min_val, d[j]), u[row4col[j]])
        for j in reached:
            v[j] = _sub(v[j], _sub(min_val, d[j]))
        j = sink
        while True:
            row = path[j]
            row4col[j], free[j] = row, False
            col4row[row], j = j, col4row[row]
            if row == cur:
                break
    if not transpose:
        return list(range(nr)), col4row
    order = sorted(range(nr), key=lambda k: col4row[k])
    return [col4row[k] for k in order], order
