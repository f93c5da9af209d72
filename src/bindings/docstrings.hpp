// Documentation strings of the module's classes and functions, as Python
// shows them (`help(quelmar.cyquelmar.CRN)`).
#pragma once

namespace quelmar::py::doc {

inline constexpr char crn[] =
    "Chemical Reaction Network (CRN) representation and analysis.";

inline constexpr char init[] = R"doc(
        Initialize a Chemical Reaction Network.

        Parameters:
        -----------
        stoi : ndarray
            Stoichiometry matrix (num_chem x num_react)
        reginfo : ndarray, optional
            Regulation information matrix (num_chem x num_react), defaults to infinity where stoi < -TOL
        X_names : list of str, optional
            Names of chemical species, defaults to ['X0', 'X1', ...]
        R_names : list of str, optional
            Names of reactions, defaults to ['R0', 'R1', ...]
        name : str, optional
            Name of the CRN
        )doc";

inline constexpr char smat[] = R"doc(
        Compute a boolean sensitivity matrix using random perturbations.

        Parameters:
        -----------
        trial : int, optional
            Number of random trials to aggregate (default: 2)

        Returns:
        --------
        ndarray
            Boolean sensitivity matrix (num_chem x num_react)
        )doc";

inline constexpr char searchfrom[] = R"doc(
        Search for an isolated buffered subnetwork starting from given species and reactions.

        Parameters:
        -----------
        X : list of int
            Indices of initial chemical species
        R : list of int
            Indices of initial reactions
        trial : int, optional
            Number of trials for sensitivity matrix (default: 2)

        Returns:
        --------
        tuple
            (Xs, Rs) - Lists of species and reaction indices in the subnetwork
        )doc";

inline constexpr char compute_index[] = R"doc(
        Compute the chi-index for a subnetwork defined by species and reactions.

        Parameters:
        -----------
        X : list of int
            Indices of chemical species
        R : list of int
            Indices of reactions

        Returns:
        --------
        int
            Chi-index of the subnetwork
        )doc";

inline constexpr char search[] = R"doc(
        Search for all unique isolated buffered subnetworks with chi-index 0.

        Parameters:
        -----------
        trial : int, optional
            Number of trials for sensitivity matrix (default: 2)

        Returns:
        --------
        list
            List of unique XandR arrays sorted by species count, then reaction count
        )doc";

inline constexpr char signdet_subnetwork[] = R"doc(
        Compute the sign of the determinant for a subnetwork defined by XandR.

        Parameters:
        -----------
        XandR : ndarray
            Boolean array (num_chem + num_react) indicating selected species and reactions

        Returns:
        --------
        float
            Sign of the determinant of the subnetwork A matrix
        )doc";

inline constexpr char reduction[] = R"doc(
        Contract a subnetwork out of the network, in place.

        Parameters:
        -----------
        XandR : array_like
            Boolean array (num_chem + num_react) marking the species and reactions to eliminate
        )doc";

inline constexpr char signdet[] = R"doc(
    Determine the sign of the determinant of matrix A with variable entries.

    Parameters:
    -----------
    A : ndarray
        Input square matrix with possible infinite or variable entries
    trials : int, optional
        Number of optimization trials to test sign consistency (default: 10)

    Returns:
    --------
    float
        Sign of the determinant:
        =  1.0 if consistently positive
        = -1.0 if consistently negative
        =  0.0 if consistently zero
        =  NAN if both positive and negative signs are possible
    )doc";

inline constexpr char vardetA[] =
    "Compute arctan of determinant with squared variables.";

inline constexpr char diagnose[] = R"doc(
    Diagnose a network by contracting its minimal isolated buffering structures.

    Parameters:
    -----------
    crn : CRN
        The network; it is reduced in place

    Returns:
    --------
    list
        Records {"chemicals", "reactions", "sign_det"}, one per structure
    )doc";

}  // namespace quelmar::py::doc
