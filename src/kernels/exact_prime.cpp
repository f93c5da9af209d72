// The work of one prime for the exact sensitivity pattern: the rank and
// pivots of the stoichiometry matrix modulo the prime, the reduced matrix
// M = S[I, :] top S[:, J], and the pattern of S[:, J] adj(M) S[I, :].
#include "exact_prime.hpp"

#include <algorithm>
#include <utility>

#include "modelim.hpp"

namespace quelmar::exact_detail {

namespace {

// Loops over at least this many entries are shared out among the team.
constexpr index_t kThreadedEntries = index_t{1} << 20;

// ----------------------------------------------------- rank and pivots of S

// Rank of S mod p with r rows I and r columns J such that S[I, J] is
// non-singular.  Singleton columns and rows are peeled first (each such pivot
// leaves the rest unchanged), then the remaining core is eliminated densely.
index_t rank_and_pivots(const Field& F, const SparseMod& Srow, const SparseMod& Scol,
                        index_t m, index_t n, Vec<index_t>& I,
                        Vec<index_t>& J, const Poll& poll) {
    I.clear();
    J.clear();
    Vec<index_t> rc(m), cc(n);
    Vec<char> row_alive(m, 1), col_alive(n, 1);
    Vec<index_t> stack;  // >= 0: column j; < 0: row -1-i
    for (index_t i = 0; i < m; ++i) {
        rc[i] = Srow.end(i) - Srow.begin(i);
        if (rc[i] == 1) stack.push_back(-1 - i);
    }
    for (index_t j = 0; j < n; ++j) {
        cc[j] = Scol.end(j) - Scol.begin(j);
        if (cc[j] == 1) stack.push_back(j);
    }
    auto pivot = [&](index_t i, index_t j) {
        row_alive[i] = 0;
        col_alive[j] = 0;
        I.push_back(i);
        J.push_back(j);
        for (index_t e = Srow.begin(i); e < Srow.end(i); ++e) {
            const index_t c = Srow.idx[e];
            if (col_alive[c] && --cc[c] == 1) stack.push_back(c);
        }
        for (index_t e = Scol.begin(j); e < Scol.end(j); ++e) {
            const index_t q = Scol.idx[e];
            if (row_alive[q] && --rc[q] == 1) stack.push_back(-1 - q);
        }
    };
    while (!stack.empty()) {
        const index_t top = stack.back();
        stack.pop_back();
        if (top >= 0) {
            const index_t j = top;
            if (!col_alive[j] || cc[j] != 1) continue;
            for (index_t e = Scol.begin(j); e < Scol.end(j); ++e)
                if (row_alive[Scol.idx[e]]) {
                    pivot(Scol.idx[e], j);
                    break;
                }
        } else {
            const index_t i = -1 - top;
            if (!row_alive[i] || rc[i] != 1) continue;
            for (index_t e = Srow.begin(i); e < Srow.end(i); ++e)
                if (col_alive[Srow.idx[e]]) {
                    pivot(i, Srow.idx[e]);
                    break;
                }
        }
    }

    Vec<index_t> core_rows, core_cols, col_at(n, -1);
    for (index_t i = 0; i < m; ++i)
        if (row_alive[i] && rc[i] > 0) core_rows.push_back(i);
    for (index_t j = 0; j < n; ++j)
        if (col_alive[j] && cc[j] > 0) {
            col_at[j] = static_cast<index_t>(core_cols.size());
            core_cols.push_back(j);
        }
    const auto R = static_cast<index_t>(core_rows.size());
    const auto C = static_cast<index_t>(core_cols.size());
    if (R == 0 || C == 0) return static_cast<index_t>(I.size());
    Vec<double> D(R * C, 0.0);
    for (index_t q = 0; q < R; ++q) {
        const index_t i = core_rows[q];
        for (index_t e = Srow.begin(i); e < Srow.end(i); ++e) {
            const index_t c = col_at[Srow.idx[e]];
            if (c >= 0) D[q * C + c] = Srow.val[e];
        }
    }
    index_t rank = 0;
    for (index_t c = 0; c < C && rank < R; ++c) {
        if ((c & 31) == 0) poll();
        index_t q = rank;
        while (q < R && D[q * C + c] == 0.0) ++q;
        if (q == R) continue;
        if (q != rank) {
            std::swap_ranges(D.begin() + q * C, D.begin() + (q + 1) * C, D.begin() + rank * C);
            std::swap(core_rows[q], core_rows[rank]);
        }
        const double* prow = &D[rank * C];
        const double pinv = F.inverse(prow[c]);
        for (index_t q2 = rank + 1; q2 < R; ++q2) {
            double* row = &D[q2 * C];
            if (row[c] == 0.0) continue;
            const double f = F.mul(row[c], pinv);
            for (index_t k = c; k < C; ++k) row[k] = F.reduce(row[k] - f * prow[k]);
        }
        I.push_back(core_rows[rank]);
        J.push_back(core_cols[c]);
        ++rank;
    }
    return static_cast<index_t>(I.size());
}

// With w = M^-1 S[I, j] (centred residues), sets pat[i, j] for the entries
// of column j still zero in pat where (S[:, J] w)[i] != 0 mod p.
void or_open_entries(const Field& F, const SparseMod& Srow, const Vec<index_t>& colpos,
                     const Vec<double>& w, index_t j, index_t n, index_t m,
                     Vec<std::uint8_t>& pat) {
    for (index_t i = 0; i < m; ++i) {
        if (pat[i * n + j]) continue;
        double acc = 0.0;
        index_t count = 0;
        for (index_t e = Srow.begin(i); e < Srow.end(i); ++e) {
            const index_t b = colpos[Srow.idx[e]];
            if (b < 0) continue;
            acc += Srow.val[e] * w[b];
            if (++count % (kChunk - 1) == 0) acc = F.reduce(acc);
        }
        if (F.reduce(acc) != 0.0) pat[i * n + j] = 1;
    }
}

}  // namespace

// The values of A mod p, entry by entry (zeros kept).
Vec<double> reduce_values(const Field& F, const SparseExact& A) {
    Vec<double> v(A.val.size());
    for (std::size_t e = 0; e < v.size(); ++e) v[e] = to_field(F, A.val[e]);
    return v;
}

void WPlan::build(const Problem& pb, const Vec<index_t>& pivots,
           const Vec<index_t>& colpos) {
    J = pivots;
    ptr.assign(1, 0);
    col.clear();
    tptr.assign(1, 0);
    tr.clear();
    ts.clear();
    // Row by row: count the products of each column, then place them
    // (the order of the columns within a row does not matter).
    const auto r = static_cast<index_t>(pivots.size());
    Vec<index_t> stamp(r, -1), count(r, 0), next(r, 0), touched;
    for (index_t j = 0; j < pb.n; ++j) {
        touched.clear();
        for (int pass = 0; pass < 2; ++pass) {
            for (index_t e = pb.top.ptr[j]; e < pb.top.ptr[j + 1]; ++e) {
                const index_t i = pb.top.idx[e];
                for (index_t f = pb.S.ptr[i]; f < pb.S.ptr[i + 1]; ++f) {
                    const index_t b = colpos[pb.S.idx[f]];
                    if (b < 0) continue;
                    if (pass == 0) {
                        if (stamp[b] != j) {
                            stamp[b] = j;
                            count[b] = 0;
                            touched.push_back(b);
                        }
                        ++count[b];
                    } else {
                        const index_t q = next[b]++;
                        tr[q] = e;
                        ts[q] = f;
                    }
                }
            }
            if (pass == 1) break;
            auto q = static_cast<index_t>(tr.size());
            for (const index_t b : touched) {
                col.push_back(b);
                next[b] = q;
                q += count[b];
                tptr.push_back(q);
            }
            tr.resize(q);
            ts.resize(q);
        }
        ptr.push_back(static_cast<index_t>(col.size()));
    }
}

// Srow: the entries of S non-zero mod p, from their residues Sval (in the
// order of pb.S).
RankStatus rank_status(const Field& F, const Problem& pb, const Vec<double>& Sval,
                       SparseMod& Srow, SparseMod& Scol, Vec<index_t>& I,
                       Vec<index_t>& J, const Poll& poll) {
    Srow.ptr.assign(pb.m + 1, 0);
    Srow.idx.clear();
    Srow.val.clear();
    for (index_t i = 0; i < pb.m; ++i) {
        for (index_t e = pb.S.ptr[i]; e < pb.S.ptr[i + 1]; ++e) {
            if (Sval[e] == 0.0) continue;
            Srow.idx.push_back(pb.S.idx[e]);
            Srow.val.push_back(Sval[e]);
        }
        Srow.ptr[i + 1] = static_cast<index_t>(Srow.idx.size());
    }
    Scol = transpose(Srow, pb.m, pb.n);
    const index_t rank = rank_and_pivots(F, Srow, Scol, pb.m, pb.n, I, J, poll);
    if (rank > pb.r) return RankStatus::high;
    if (rank < pb.r) return RankStatus::low;
    return RankStatus::exact;
}

// ORs the pattern of S[:, J] adj(M) S[I, :] mod p into pat (m x n); returns the
// rank status of S mod p (the pattern is only computed when it is exact).
RankStatus one_prime(const PrimeData& d, const Problem& pb, WPlan& plan,
                     Vec<std::uint8_t>& pat, const Poll& poll, Team* team) {
    const index_t m = pb.m, n = pb.n, r = pb.r;
    const RankStatus st = d.st;
    if (st != RankStatus::exact || r == 0) return st;
    const Field F = pb.field_top(d.p);
    const SparseMod &Srow = d.Srow, &Scol = d.Scol;
    const Vec<index_t> &I = d.I, &J = d.J;
    poll();

    // Only the reactions whose column of pat still has a zero need this
    // prime: all of them for the first prime, usually a few afterwards.
    Vec<char> col_open(n, 0);
    for (index_t i = 0; i < m; ++i)
        for (index_t j = 0; j < n; ++j) col_open[j] |= pat[i * n + j] == 0;
    Vec<index_t> open;
    for (index_t j = 0; j < n; ++j)
        if (col_open[j]) open.push_back(j);
    if (open.empty()) return st;
    const bool few_open = 4 * static_cast<index_t>(open.size()) <= n;

    Vec<index_t> rowpos(m, -1), colpos(n, -1);
    for (index_t a = 0; a < r; ++a) rowpos[I[a]] = a;
    for (index_t b = 0; b < r; ++b) colpos[J[b]] = b;

    // W = top * S[:, J] (n x r, sparse rows), then M = S[I, :] * W.
    if (plan.J != J) plan.build(pb, J, colpos);
    const Vec<double> Rv = reduce_values(F, pb.top);
    const Vec<double>& Sv = d.Sval;
    Vec<double> Wv(plan.col.size());
    for (std::size_t w = 0; w < Wv.size(); ++w) {
        double acc = 0.0;
        const index_t q0 = plan.tptr[w], q1 = plan.tptr[w + 1];
        for (index_t q = q0; q < q1; ++q) {
            acc += Rv[plan.tr[q]] * Sv[plan.ts[q]];
            if ((q - q0 + 1) % (kChunk - 1) == 0) acc = F.reduce(acc);
        }
        Wv[w] = F.reduce(acc);
    }
    const index_t ld = (r + 7) / 8 * 8;
    Vec<double> M(r * ld, 0.0);
    const auto rows_of_m = [&](index_t a0, index_t a1, bool) {  // each row on its own
        for (index_t a = a0; a < a1; ++a) {
            double* row = M.data() + a * ld;
            const index_t i = I[a];
            for (index_t e = Srow.begin(i); e < Srow.end(i); ++e) {
                const index_t j = Srow.idx[e];
                const double s = Srow.val[e];
                for (index_t f = plan.ptr[j]; f < plan.ptr[j + 1]; ++f)
                    row[plan.col[f]] += s * Wv[f];
                if ((e - Srow.begin(i) + 1) % (kChunk - 1) == 0) reduce_n(F, r, row);
            }
            reduce_n(F, r, row);
        }
    };
    share_out(team, r * r >= kThreadedEntries, r, 8, rows_of_m);
    poll();

    if (few_open) {
        // An LU factorisation and one solve per open reaction cost less than
        // the inverse; a singular M goes to the elimination below.
        Vec<double> LU(M);
        Vec<index_t> perm;
        Vec<double> invdiag;
        if (lu_factor(F, LU.data(), r, ld, perm, invdiag, poll)) {
            // B = S[I, open], then B = M^-1 B.
            const auto nb = static_cast<index_t>(open.size());
            const index_t ldb = (nb + 3) / 4 * 4;
            Vec<double> B(r * ldb, 0.0);
            for (index_t c = 0; c < nb; ++c)
                for (index_t e = Scol.begin(open[c]); e < Scol.end(open[c]); ++e) {
                    const index_t a = rowpos[Scol.idx[e]];
                    if (a >= 0) B[a * ldb + c] = Scol.val[e];
                }
            lu_solve(F, LU.data(), r, ld, perm, invdiag, B.data(), nb, ldb, team);
            const auto patterns = [&](index_t c0, index_t c1, bool) {
                Vec<double> w(r);
                for (index_t c = c0; c < c1; ++c) {
                    for (index_t b = 0; b < r; ++b) w[b] = B[b * ldb + c];
                    or_open_entries(F, Srow, colpos, w, open[c], n, m, pat);
                }
            };
            share_out(team, nb * m >= kThreadedEntries, nb, 64, patterns);
            return st;
        }
    }
    GjWork work;
    Vec<index_t> perm, qperm;
    const int deferred = gj_eliminate(F, M.data(), r, ld, perm, qperm, work, poll, team);
    const double* G = M.data();
    if (deferred == 0) {
        // No column was moved, M^-1 = G P and S[:, J] M^-1 S[I, :] = (S[:, J] G) (P S[I, :]).
        Vec<index_t> pinv(r);
        for (index_t k = 0; k < r; ++k) pinv[perm[k]] = k;
        if (few_open) {
            // Column by column: w = M^-1 S[I, j], then the open entries of
            // S[:, J] w.  Products are summed unreduced, kChunk - 1 at a time.
            Vec<double> w(r);
            for (const index_t j : open) {
                std::fill(w.begin(), w.end(), 0.0);
                index_t terms = 0;
                for (index_t e = Scol.begin(j); e < Scol.end(j); ++e) {
                    const index_t a = rowpos[Scol.idx[e]];
                    if (a < 0) continue;
                    const double sv = Scol.val[e];
                    const double* g = G + pinv[a];
                    for (index_t b = 0; b < r; ++b) w[b] += sv * g[b * ld];
                    if (++terms % (kChunk - 1) == 0) reduce_n(F, r, w.data());
                }
                if (terms == 0) continue;
                reduce_n(F, r, w.data());
                or_open_entries(F, Srow, colpos, w, j, n, m, pat);
            }
            return st;
        }
        // X = S[:, J] G, transposed into Xt (r x m); products are summed
        // unreduced, kChunk - 1 at a time.  Species go in blocks of kBlock,
        // whose rows of X are stored as whole runs of a row of Xt, and the
        // blocks are shared out among the team.
        constexpr index_t kBlock = 8;
        Vec<double> Xt(r * m, 0.0);
        const auto rows_of_x = [&](index_t i0, index_t i1, bool) {
            Vec<double> X(kBlock * r);
            for (index_t b0 = i0; b0 < i1; b0 += kBlock) {
                const index_t rows = std::min(kBlock, i1 - b0);
                std::fill(X.begin(), X.end(), 0.0);
                for (index_t q = 0; q < rows; ++q) {
                    const index_t i = b0 + q;
                    double* x = X.data() + q * r;
                    index_t terms = 0;
                    for (index_t e = Srow.begin(i); e < Srow.end(i); ++e) {
                        const index_t b = colpos[Srow.idx[e]];
                        if (b < 0) continue;
                        add_scaled(r, Srow.val[e], G + b * ld, x);
                        if (++terms % (kChunk - 1) == 0) reduce_n(F, r, x);
                    }
                    if (terms > 0) reduce_n(F, r, x);
                }
                for (index_t k = 0; k < r; ++k)
                    for (index_t q = 0; q < rows; ++q) Xt[k * m + b0 + q] = X[q * r + k];
            }
        };
        share_out(team, r * m >= kThreadedEntries, m, kBlock, rows_of_x);
        // The open reactions, shared out likewise (each writes its own
        // column of pat).
        const auto n_open = static_cast<index_t>(open.size());
        const auto open_columns = [&](index_t c0, index_t c1, bool on_caller) {
            Vec<double> z(m);
            for (index_t c = c0; c < c1; ++c) {
                const index_t j = open[c];
                if (on_caller && (j & 255) == 0) poll();
                std::fill(z.begin(), z.end(), 0.0);
                index_t terms = 0;
                for (index_t e = Scol.begin(j); e < Scol.end(j); ++e) {
                    const index_t a = rowpos[Scol.idx[e]];
                    if (a < 0) continue;
                    add_scaled(m, Scol.val[e], Xt.data() + pinv[a] * m, z.data());
                    if (++terms % (kChunk - 1) == 0) reduce_n(F, m, z.data());
                }
                if (terms == 0) continue;
                reduce_n(F, m, z.data());
                for (index_t i = 0; i < m; ++i)
                    if (z[i] != 0.0) pat[i * n + j] = 1;
            }
        };
        share_out(team, n_open * m >= kThreadedEntries, n_open, 64, open_columns);
    } else if (deferred == 1) {
        // Rank r - 1: adj(M) = c u v^T with M u = 0 and v^T M = 0.
        Vec<double> u, v;
        corank_one_vectors(G, r, ld, perm, qperm, u, v);
        Vec<char> xs(m, 0), ys(n, 0);
        for (index_t i = 0; i < m; ++i) {
            double s = 0.0;
            for (index_t e = Srow.begin(i); e < Srow.end(i); ++e) {
                const index_t b = colpos[Srow.idx[e]];
                if (b >= 0) s = F.reduce(s + Srow.val[e] * u[b]);
            }
            xs[i] = s != 0.0;
        }
        for (index_t j = 0; j < n; ++j) {
            double s = 0.0;
            for (index_t e = Scol.begin(j); e < Scol.end(j); ++e) {
                const index_t a = rowpos[Scol.idx[e]];
                if (a >= 0) s = F.reduce(s + Scol.val[e] * v[a]);
            }
            ys[j] = s != 0.0;
        }
        for (index_t i = 0; i < m; ++i)
            if (xs[i])
                for (index_t j = 0; j < n; ++j)
                    if (ys[j]) pat[i * n + j] = 1;
    }
    return st;  // deferred >= 2: rank M <= r - 2 and adj(M) = 0 mod p
}

}  // namespace quelmar::exact_detail
