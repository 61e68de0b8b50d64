# sources of the node layer and the typed binding are added to the fictionbook target here
