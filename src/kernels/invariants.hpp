// Structural invariants of reaction networks: conserved-quantity classes, the
// output-complete closure of a selection, the emergent-cycle test, the
// chi-index; the seed search that combines them is declared in search.hpp.
//
// Selections (XandR) are byte vectors of m + n entries, species first, then
// reactions; a non-zero byte is selected.  Boolean matrices are byte matrices.
#pragma once

#include <cstdint>
#include <vector>

#include "poll.hpp"
#include "view.hpp"

namespace quelmar {

using Selection = Vec<std::uint8_t>;

/// Classes of species linked through conserved quantities: out (m x m, filled
/// here) becomes the reflexive and transitive closure of "some row of DT
/// (L x m) has coefficients of magnitude >= TOL (or NaN) for both species".
/// Near-linear: union-find over the species-quantity incidence.
void cq_classifier(MatrixView<const double> DT, MatrixView<std::uint8_t> out);

/// Grows XandR (m + n entries read and written, nothing beyond) in place until
/// it is closed under: selected species i brings reaction j where oc[i, j];
/// selected reaction j brings species i where lo[i, j]; selected species i
/// brings species k where cq[i, k].  oc and lo are m x n, cq is m x m.
/// Throws std::invalid_argument when an extent is too small.
void oc_closure(VectorView<std::uint8_t> XandR, MatrixView<const std::uint8_t> oc,
                MatrixView<const std::uint8_t> lo, MatrixView<const std::uint8_t> cq,
                index_t m, index_t n);

/// q - k1 - k2: k1 the nullity of the selected columns of stoi (m x n), k2 the
/// nullity of the selected columns of DT (L x m); p, q the numbers of selected
/// species and reactions.  XandR must have exactly m + n entries.
index_t chiindex(MatrixView<const double> stoi, MatrixView<const double> DT,
                 VectorView<const std::uint8_t> XandR, const Poll& poll = {});

/// True when every cycle of the subnetwork (selected species and reactions) is
/// a cycle of the whole network: no unselected species changes by >= TOL along
/// a basis cycle (NaN counts as no change).  XandR must have exactly m + n
/// entries.
bool no_emergent_cycles(MatrixView<const double> stoi, VectorView<const std::uint8_t> XandR,
                        const Poll& poll = {});

}  // namespace quelmar
