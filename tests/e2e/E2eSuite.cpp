// end-to-end tests of whole update runs
